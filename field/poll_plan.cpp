#include "field/poll_plan.h"

#include <algorithm>
#include <numeric>

namespace tolvane::field {

std::vector<PollRequest> PlanPolls(const std::vector<SourcePoint>& points, int maxRegisters,
                                   int maxGap) {
  std::vector<std::size_t> order(points.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (points[a].table != points[b].table) return points[a].table < points[b].table;
    return points[a].address < points[b].address;
  });
  std::vector<PollRequest> plan;
  long end = 0;  // one past the last register of the open request
  for (std::size_t i : order) {
    const SourcePoint& p = points[i];
    bool bits = p.table == Table::kCoil || p.table == Table::kDiscrete;
    long limit = bits ? kMaxReadBits : std::clamp(maxRegisters, 1, kMaxReadRegisters);
    long width = bits ? 1 : RegistersOf(p.type);
    long first = p.address, last = first + width;  // [first, last)
    if (last > 65536) continue;                    // the sources check refuses these
    bool fits = !plan.empty() && plan.back().table == p.table && first - end <= maxGap &&
                std::max(end, last) - plan.back().start <= limit;
    if (!fits) {
      PollRequest r;
      r.table = p.table;
      r.start = static_cast<uint16_t>(first);
      plan.push_back(r);
      end = first;
    }
    PollRequest& r = plan.back();
    end = std::max(end, last);
    r.count = static_cast<uint16_t>(end - r.start);
    r.uses.push_back({i, static_cast<uint16_t>(first - r.start)});
  }
  return plan;
}

}  // namespace tolvane::field
