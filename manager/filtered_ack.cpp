// Acknowledge of every alarm a filter selects, one node batch at a time:
// one group reads and writes the batch's B_NALM fields, another reads its
// B_CUALM fields, and cached field addresses spare the resolve step.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "manager/queue_controls.h"
#include "manager/row_conversion.h"
#include "nodeconfig/node_config.h"
#include "services/zuna.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace {

constexpr uint32_t kOptionAll = 0xFFFF;
constexpr short kAlarmOk = 0;
constexpr short kAlarmDsab = 267;

using EntryArray = CArray<unsigned int, unsigned int&>;

bool SameNode(const tagAlarmStr& a, const tagAlarmStr& b) {
  return std::memcmp(a.node, b.node, sizeof a.node) == 0;
}

}  // namespace

short CVeltAlmSummMgr::AcknowledgeAllAlarmsByRef(char* filter, short clientHandle, short quiet) {
  if (clientHandle == tolvane::kNoHandle) return tolvane::kFailed;
  SORT_CNTL sort{};
  sort.key = tolvane::kSortKeyByNode;
  tolvane::ViewRows view =
      tolvane::ReadViewRows(m_quorlen, sort, static_cast<unsigned short>(clientHandle), filter,
                            tolvane::ReferenceNode::kNodeName);
  if (view.status != 0) return view.status;
  if (view.noMemory) return tolvane::kFailed;
  const short placed = view.count;
  tagAlarmStr* rows = view.rows.get();

  // Operator messages have no database block: left in, each would fail its
  // B_NALM entry and turn a complete acknowledge into a reported failure.
  short kept = 0;
  for (short i = 0; i < placed; ++i) {
    if (rows[i].reference[0] == '\0') continue;
    if (kept != i) rows[kept] = rows[i];
    ++kept;
  }
  if (kept <= 0) return tolvane::kOk;
  return AckFilteredAlarms(rows, kept, quiet, clientHandle);
}

short CVeltAlmSummMgr::AckFilteredAlarms(tagAlarmStr* rows, short rowCount, short quiet,
                                         short clientHandle) {
  if (!rows || rowCount <= 0) return tolvane::kOk;
  bool uncached = false;
  short result = tolvane::kOk;
  for (short start = 0; start < rowCount;) {
    short end = start + 1;
    while (end < rowCount && SameNode(rows[end], rows[start])) ++end;
    bool acked = false;
    short st = AckNodeBatch(rows + start, static_cast<std::size_t>(end - start), clientHandle,
                            &uncached, &acked);
    if (st != tolvane::kOk && result == tolvane::kOk) result = st;
    if (quiet == 0 && acked) SendOperatorMessage(rows[start].node, rows[start].node, nullptr, 2);
    start = end;
  }
  return result;
}

short CVeltAlmSummMgr::AckNodeBatch(tagAlarmStr* rows, std::size_t count, short clientHandle,
                                   bool* uncachedFlag, bool* ackedFlag) {
  bool& uncached = *uncachedFlag;
  short result = tolvane::kOk;
  SORT_CNTL byNode{};
  byNode.key = tolvane::kSortKeyByNode;
  char* node = rows[0].node;

  zunagroup* na = zuna_group_create(1, 0);
  zunagroup* cu = zuna_group_create(1, 0);
  EntryArray naEntries, cuEntries;
  for (std::size_t i = 0; i < count; ++i) {
    tagAlarmStr& row = rows[i];
    VSP naVsp = row.vsp, cuVsp = row.vsp;
    char naField[] = "B_NALM", cuField[] = "B_CUALM";
    bool naCached = GetVSPFieldInfo(row.node, row.tagName, naField, &naVsp) == 1;
    unsigned int e = zuna_group_add(na, row.node, row.tagName, naField, naCached ? &naVsp : nullptr);
    naEntries.Add(e);
    bool cuCached = GetVSPFieldInfo(row.node, row.tagName, cuField, &cuVsp) == 1;
    e = zuna_group_add(cu, row.node, row.tagName, cuField, cuCached ? &cuVsp : nullptr);
    cuEntries.Add(e);
    if (!naCached || !cuCached) uncached = true;
  }
  SetPDBSNInfo(na);
  SetPDBSNInfo(cu);
  if (uncached) {
    zuna_group_resolve(na);
    zuna_group_resolve(cu);
    zuna_group_execute(na);
    zuna_group_execute(cu);
  }
  zuna_group_set_option(na, kOptionAll);
  zuna_group_set_option(cu, kOptionAll);
  zuna_group_read(na);
  zuna_group_execute(na);

  std::size_t newAlarms = 0;
  std::vector<std::size_t> alreadyAcked;
  short readFailure = tolvane::kOk;
  for (std::size_t i = 0; i < count; ++i) {
    const auto at = static_cast<std::ptrdiff_t>(i);
    if (short st = zuna_entry_status(na, naEntries[at]); st != 0) {
      if (readFailure == tolvane::kOk) readFailure = st;
      continue;
    }
    short value = 0;
    zuna_entry_get(na, naEntries[at], &value);
    if (value != 0) {
      ++newAlarms;
    } else {
      alreadyAcked.push_back(i);
    }
  }

  short summaryOption = 0;
  read_summary_option(&summaryOption);

  // Only a successful write of this batch announces an acknowledge.
  bool batchAcked = false;
  if (newAlarms > 0 || (!alreadyAcked.empty() && summaryOption == 1)) {
    for (std::size_t i = 0; i < count; ++i) {
      zuna_entry_put(na, naEntries[static_cast<std::ptrdiff_t>(i)], 0);
    }
    zuna_group_write(na);
    zuna_group_execute(na);
    zuna_group_read(cu);
    zuna_group_execute(cu);
    for (std::size_t i = 0; i < count; ++i) {
      const auto at = static_cast<std::ptrdiff_t>(i);
      short st = zuna_entry_status(na, naEntries[at]);
      if (st != 0) {
        if (result == tolvane::kOk) result = st;
        continue;
      }
      batchAcked = true;
      if (zuna_entry_status(cu, cuEntries[at]) != 0) continue;
      short alarm = 0;
      zuna_entry_get(cu, cuEntries[at], &alarm);
      if (alarm != kAlarmOk && alarm != kAlarmDsab) continue;
      if (std::binary_search(alreadyAcked.begin(), alreadyAcked.end(), i)) {
        // Its own operator message is wanted whatever the caller's quiet flag.
        ManuallyDeleteAlarmByRef(clientHandle, rows[i].reference, 0);
      } else if (summaryOption != 1) {
        VSP vsp{};
        zuna_entry_info(cu, cuEntries[at], nullptr, nullptr, nullptr, &vsp);
        SUMQMSG msg;
        std::memset(&msg, 0, sizeof msg);
        ERROR_REC err{};
        m_quorlen.sumqFindVisibleAlarm(&err, vsp.blockNumber, vsp.blockType, node, &msg);
        if (err.status == 0) {
          char physical[9];
          tolvane::SetFieldText(physical, tolvane::FieldText(msg.almpak.physicalNode));
          m_quorlen.SumqDeleteAlarmByPhysicalNodeName(&err, &byNode, vsp.blockNumber,
                                                      vsp.blockType, physical,
                                                      static_cast<unsigned short>(clientHandle));
        }
      }
    }
  }
  // A batch that wrote nothing because its reads failed is a failure, not
  // an empty success.
  if (!batchAcked && newAlarms == 0 && readFailure != tolvane::kOk && result == tolvane::kOk) {
    result = readFailure;
  }
  *ackedFlag = batchAcked;
  ReCacheFieldIDs(na, &naEntries);
  ReCacheFieldIDs(cu, &cuEntries);
  zuna_group_free(na);
  zuna_group_free(cu);
  return result;
}
