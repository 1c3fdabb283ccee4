#include "present/stats.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>

#include "node/summary_queue_message.h"
#include "plant/plant.h"
#include "present/output.h"

namespace tolvane::present {
namespace {

// The seven-level priorities in the queue's severity order, most severe first.
constexpr const char* kSeverity[] = {"CRITICAL", "HIHI", "HIGH", "MEDIUM", "LOW", "LOLO", "INFO"};

std::string LocalText(TimePoint t) {
  std::time_t secs = Clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string Duration(std::chrono::seconds s) {
  long long total = s.count();
  char buf[48];
  if (total >= 86400) {
    std::snprintf(buf, sizeof buf, "%lldd %02lldh", total / 86400, (total % 86400) / 3600);
  } else {
    std::snprintf(buf, sizeof buf, "%lldh %02lldm", total / 3600, (total % 3600) / 60);
  }
  return buf;
}

}  // namespace

std::optional<TimePoint> RowTime(const std::string& date, const std::string& time) {
  // The rows carry the queue's own date and time texts; read them its way.
  return node::detail::ParseDateTime(date.data(), date.size(), time.data(), time.size());
}

std::vector<AlarmStats::Flood> FindFloods(std::vector<TimePoint> times) {
  std::sort(times.begin(), times.end());
  std::vector<AlarmStats::Flood> floods;
  std::size_t j = 0;
  // Last index covered by the flood being built; valid while `open`.
  bool open = false;
  std::size_t first = 0, last = 0;
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (j < i) j = i;
    while (j < times.size() && times[j] < times[i] + kRateBucket) ++j;
    if (j - i <= kFloodThreshold) continue;  // window [i, j) is not a flood
    if (open && i <= last) {
      last = std::max(last, j - 1);
    } else {
      if (open) floods.push_back({times[first], times[last], last - first + 1});
      open = true;
      first = i;
      last = j - 1;
    }
  }
  if (open) floods.push_back({times[first], times[last], last - first + 1});
  return floods;
}

AlarmStats ComputeStats(const std::vector<Row>& rows, TimePoint now, int hours) {
  AlarmStats s;
  std::map<std::string, std::size_t> priorities, nodes;
  std::vector<TimePoint> times;
  std::vector<std::pair<TimePoint, const Row*>> dated;
  for (const Row& r : rows) {
    if (r.IsOperatorMessage()) {
      ++s.operatorMessages;
      continue;
    }
    ++s.alarms;
    ++(r.acknowledged ? s.acknowledged : s.newAlarms);
    ++priorities[TrimRight(r.priority)];
    ++nodes[r.node];
    if (auto t = RowTime(r.dateIn, r.timeIn)) {
      times.push_back(*t);
      dated.emplace_back(*t, &r);
    } else {
      ++s.unreadableTimes;
    }
  }
  for (const char* p : kSeverity) {
    auto it = priorities.find(p);
    s.byPriority.emplace_back(p, it == priorities.end() ? 0 : it->second);
    if (it != priorities.end()) priorities.erase(it);
  }
  for (const auto& [p, n] : priorities) s.byPriority.emplace_back(p, n);  // texts outside the table
  s.byNode.assign(nodes.begin(), nodes.end());

  int buckets = std::max(1, hours) * 6;
  s.rate.resize(static_cast<std::size_t>(buckets));
  for (int k = 0; k < buckets; ++k) {
    s.rate[static_cast<std::size_t>(k)].start = now - kRateBucket * (buckets - k);
  }
  for (TimePoint t : times) {
    if (t >= now || t < s.rate.front().start) continue;
    auto k = static_cast<std::size_t>((t - s.rate.front().start) / kRateBucket);
    if (k < s.rate.size()) ++s.rate[k].count;
  }
  s.floods = FindFloods(times);

  for (const auto& [t, r] : dated) {
    if (now - t > kStaleAge) {
      s.stale.push_back({r->reference, r->node, r->tag, TrimRight(r->priority), r->description,
                         std::chrono::duration_cast<std::chrono::seconds>(now - t)});
    }
  }
  std::stable_sort(
      s.stale.begin(), s.stale.end(),
      [](const AlarmStats::Stale& a, const AlarmStats::Stale& b) { return a.age > b.age; });
  return s;
}

void WriteStatsText(std::ostream& out, const AlarmStats& s) {
  out << "Alarms: " << s.alarms << " (" << s.newAlarms << " new, " << s.acknowledged
      << " acknowledged)";
  if (s.operatorMessages) out << ", operator messages: " << s.operatorMessages;
  if (s.shelved) out << "; shelved apart: " << s.shelved;
  out << "\n\nBy priority:\n";
  for (const auto& [p, n] : s.byPriority) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "  %-10s %6zu\n", EscapeForTerminal(p).c_str(), n);
    out << buf;
  }
  out << "\nBy node:\n";
  for (const auto& [node, n] : s.byNode) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "  %-10s %6zu\n", EscapeForTerminal(node).c_str(), n);
    out << buf;
  }
  std::size_t peak = 1;
  for (const auto& b : s.rate) peak = std::max(peak, b.count);
  out << "\nAlarm rate per 10 minutes (last " << s.rate.size() / 6 << " h):\n";
  for (const auto& b : s.rate) {
    std::size_t bar = (b.count * 40 + peak - 1) / peak;
    char buf[64];
    std::snprintf(buf, sizeof buf, "  %s %4zu ", LocalText(b.start).c_str(), b.count);
    out << buf << std::string(bar, '#') << (b.count > kFloodThreshold ? "  FLOOD" : "") << "\n";
  }
  out << "\nFloods (more than " << kFloodThreshold << " alarms in 10 minutes): " << s.floods.size()
      << "\n";
  for (const auto& f : s.floods) {
    out << "  " << LocalText(f.start) << " .. " << LocalText(f.end) << "  " << f.count
        << " alarms\n";
  }
  out << "\nStale alarms (standing more than 24 h): " << s.stale.size() << "\n";
  for (const auto& st : s.stale) {
    // Escaped texts may be longer than their fields: no fixed buffer.
    auto pad = [](std::string text, std::size_t width) {
      text = EscapeForTerminal(text);
      std::size_t w = DisplayWidth(text);
      return text + std::string(w < width ? width - w : 0, ' ');
    };
    out << "  " << pad(Duration(st.age), 9) << " " << pad(st.node, 8) << " " << pad(st.tag, 12)
        << " " << pad(st.priority, 8) << " " << EscapeForTerminal(st.reference) << "\n";
  }
  if (s.unreadableTimes) out << "\n" << s.unreadableTimes << " alarms have no readable time in\n";
}

void WriteStatsJson(std::ostream& out, const AlarmStats& s) {
  using nlohmann::json;
  json byPriority = json::object(), byNode = json::object();
  for (const auto& [p, n] : s.byPriority) byPriority[p] = n;
  for (const auto& [node, n] : s.byNode) byNode[node] = n;
  json rate = json::array();
  for (const auto& b : s.rate) rate.push_back({{"start", plant::FormatUtc(b.start)}, {"count", b.count}});
  json floods = json::array();
  for (const auto& f : s.floods) {
    floods.push_back(
        {{"start", plant::FormatUtc(f.start)}, {"end", plant::FormatUtc(f.end)}, {"count", f.count}});
  }
  json stale = json::array();
  for (const auto& st : s.stale) {
    stale.push_back({{"reference", st.reference},
                     {"node", st.node},
                     {"tag", st.tag},
                     {"priority", st.priority},
                     {"description", st.description},
                     {"ageSeconds", st.age.count()}});
  }
  json doc = {{"alarms", s.alarms},
              {"new", s.newAlarms},
              {"acknowledged", s.acknowledged},
              {"operatorMessages", s.operatorMessages},
              {"byPriority", byPriority},
              {"byNode", byNode},
              {"rate", rate},
              {"floods", floods},
              {"stale", stale},
              {"unreadableTimes", s.unreadableTimes},
              {"shelved", s.shelved}};
  out << TerminalSafeJson(doc.dump(2, ' ', false, json::error_handler_t::replace)) << "\n";
}

}  // namespace tolvane::present
