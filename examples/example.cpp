// The smallest display: an embedded node holding two alarms, one page of rows
// fetched through the library, the first row acknowledged by its reference.
#include <cstdint>
#include <cstdio>
#include <string>

#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/node/embedded_node.h"
#include "tolvane/result_codes.h"

namespace {

// A block in the node's database and its alarm in the queue: acknowledging
// writes the block's B_NALM, so the block has to exist.
void Raise(tolvane::node::EmbeddedNode& node, const char* tag, int16_t number, int16_t priority,
           const char* description) {
  node.database().AddNode("PLANT1");
  node.database().AddBlock("PLANT1", tag, 'A', number);
  node.database().SetField("PLANT1", tag, "B_NALM", 1);
  tolvane::node::AlarmInput alarm;
  alarm.physicalNode = alarm.node = "PLANT1";
  alarm.tag = tag;
  alarm.blockNumber = number;
  alarm.priority = priority;
  alarm.statusCode = 1539;
  alarm.description = description;
  node.queue().Raise(alarm);
}

// Row fields are fixed-width and need not be terminated.
template <std::size_t N>
std::string Text(const char (&field)[N]) {
  std::string s(field, N);
  s.resize(s.find('\0') == std::string::npos ? N : s.find('\0'));
  return s;
}

}  // namespace

int main() {
  tolvane::node::EmbeddedNode node;
  node.SetLocalNames({"PLANT1", "", ""});
  Raise(node, "FIC101", 1, 5, "FEED FLOW HIGH");
  Raise(node, "TI202", 2, 3, "REACTOR TEMPERATURE HIGH");

  CVeltAlmSummMgr mgr;
  short handle = mgr.GetAlarmClientHandle();
  VARIANT page;
  VariantInit(&page);
  short rows = 0;
  char filter[] = "";
  short rc = mgr.FetchAlarmsByRef(&page, 100, filter, -1 /* newest first */, handle, &rows);
  std::printf("fetch: %s, %d rows\n", tolvane::ResultCodeName(rc), rows);
  std::string first;
  if (rc == tolvane::kOk && rows > 0) {
    const auto* row = static_cast<const tagAlarmStr*>(page.parray->pvData);
    for (short i = 0; i < rows; ++i) {
      std::printf("%-10s %-8s %-24s %s\n", Text(row[i].tagName).c_str(), Text(row[i].node).c_str(),
                  Text(row[i].description).c_str(), Text(row[i].reference).c_str());
    }
    first = Text(row[0].reference);
  }
  VariantClear(&page);  // the caller owns the array

  short acked = -1;
  if (!first.empty()) {
    acked = mgr.AcknowledgeAlarmByRef(handle, first.data(), 0);
    std::printf("acknowledge %s: %s\n", first.c_str(), tolvane::ResultCodeName(acked));
  }
  mgr.FreeAlarmClientHandle(handle);
  return rows > 0 && acked == tolvane::kOk ? 0 : 1;
}
