// Operator actions on single alarms, lists of alarms and the filtered queue.
// Acknowledge and delete go through the process database (B_NALM, B_DALM,
// B_CUALM); mark-acknowledged and the removals change only the queue.
#include <cstring>
#include <memory>
#include <new>

#include "manager/alarm_reference.h"
#include "manager/queue_controls.h"
#include "manager/row_conversion.h"
#include "platform/notice.h"
#include "services/zuna.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

using tolvane::kFailed;
using tolvane::kNoHandle;
using tolvane::kOk;

namespace {

constexpr uint32_t kOptionAll = 0xFFFF;
constexpr uint32_t kOptionStatusRead = 0x8000DBBB;
constexpr short kAlarmOk = 0;      // "OK  "
constexpr short kAlarmDsab = 267;  // "DSAB"

// A database group freed on every path.
class Group {
 public:
  Group() : g_(zuna_group_create(1, 0)) {}
  ~Group() { zuna_group_free(g_); }
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;
  zunagroup* get() const { return g_; }

 private:
  zunagroup* g_;
};

// The names of a found alarm that the database calls need.
struct AlarmNames {
  char node[9];
  char physicalNode[9];
  char tag[31];
  explicit AlarmNames(const SUMQMSG& msg) {
    SetText(node, msg.almpak.node);
    SetText(physicalNode, msg.almpak.physicalNode);
    SetText(tag, msg.almpak.tagName);
  }

 private:
  template <std::size_t N, std::size_t M>
  static void SetText(char (&dst)[N], const char (&src)[M]) {
    tolvane::SetFieldText(dst, tolvane::FieldText(src));
  }
};

void ShowInvalid(const char* text) {
  tolvane::AfxMessageBox(text, tolvane::MB_OK);
}

// True when the block of `names` is no longer in alarm.
bool BlockLeftAlarm(const AlarmNames& names) {
  Group status;
  zuna_group_set_option(status.get(), kOptionStatusRead);
  unsigned int entry = zuna_group_add(status.get(), names.node, names.tag, "B_CUALM", nullptr);
  zuna_group_resolve(status.get());
  zuna_group_execute(status.get());
  zuna_group_read(status.get());
  zuna_group_execute(status.get());
  if (zuna_entry_status(status.get(), entry) != 0) return false;
  short value = 0;
  zuna_entry_get(status.get(), entry, &value);
  return value == kAlarmOk || value == kAlarmDsab;
}

}  // namespace

short CVeltAlmSummMgr::AcknowledgeAlarmByRef(short clientHandle, char* reference, short quiet) {
  if (clientHandle == kNoHandle) return kFailed;
  Group group;
  SUMQMSG msg;
  char ref[tolvane::kReferenceSize] = {};
  if (reference) std::memcpy(ref, reference, ::strnlen(reference, sizeof ref - 1));
  if (!GetCorresspondingAlarm(ref, &msg)) return kOk;  // not in the queue: nothing to do

  AlarmNames names(msg);
  unsigned int entry = zuna_group_add(group.get(), names.node, names.tag, "B_NALM", nullptr);
  if (entry == kZunaNoEntry) return kFailed;
  zuna_group_set_option(group.get(), kOptionAll);
  zuna_group_resolve(group.get());
  zuna_group_execute(group.get());
  short result = zuna_entry_status(group.get(), entry);
  if (result != 0) return result;
  result = zuna_entry_put(group.get(), entry, 0);
  if (result != 0) return result;
  zuna_group_write(group.get());
  zuna_group_execute(group.get());
  result = zuna_entry_status(group.get(), entry);
  if (result != 0) return result;
  if (quiet == 0) SendOperatorMessage(names.node, names.physicalNode, names.tag, 1);
  return kOk;
}

short CVeltAlmSummMgr::ManuallyDeleteAlarmByRef(short clientHandle, char* reference, short quiet) {
  if (clientHandle == kNoHandle) return kFailed;
  Group group;
  zuna_group_set_option(group.get(), kOptionAll);
  SUMQMSG msg;
  char ref[tolvane::kReferenceSize] = {};
  if (reference) std::memcpy(ref, reference, ::strnlen(reference, sizeof ref - 1));
  if (!GetCorresspondingAlarm(ref, &msg)) return kFailed;

  AlarmNames names(msg);
  unsigned int entry = zuna_group_add(group.get(), names.node, names.tag, "B_DALM", nullptr);
  if (entry == kZunaNoEntry) return kFailed;
  zuna_group_resolve(group.get());
  zuna_group_execute(group.get());
  short result = zuna_entry_status(group.get(), entry);
  if (result != 0) return result;
  result = zuna_entry_put(group.get(), entry, 1);
  if (result != 0) return result;
  zuna_group_write(group.get());
  zuna_group_execute(group.get());
  result = zuna_entry_status(group.get(), entry);
  if (result == tolvane::kDeleteAlreadyGone) result = kOk;
  if (result != 0) return result;
  if (quiet == 0 && BlockLeftAlarm(names)) {
    SendOperatorMessage(names.node, names.physicalNode, names.tag, 3);
  }
  return kOk;
}

short CVeltAlmSummMgr::MarkAsAcknowledgedByRef(short clientHandle, char* reference) {
  if (clientHandle == kNoHandle) return kFailed;
  tolvane::AlarmReference ref;
  if (!tolvane::ReadCallerReference(reference, &ref)) {
    ShowInvalid("Invalid handle");
    return kFailed;
  }
  ERROR_REC err{};
  m_quorlen.sumqMarkAsAcknowledged(&err, ref.number, static_cast<unsigned char>(ref.letter),
                                   ref.node, static_cast<unsigned short>(clientHandle));
  return err.status == 0 ? kOk : kFailed;
}

short CVeltAlmSummMgr::RemoveAlarmsByRef(short clientHandle, char* references, long sortCode,
                                         int count, short quiet) {
  if (clientHandle == kNoHandle) return kFailed;
  SORT_CNTL sort{};
  GetSortCondition(&sort, sortCode);
  short status = kFailed;
  for (int i = 0; i < count && references; ++i) {
    // The block holds 64-byte references one after another.
    const char* slot = references + static_cast<std::size_t>(i) * tolvane::kReferenceSize;
    tolvane::AlarmReference ref;
    if (!tolvane::ReadReference(slot, tolvane::kReferenceSize, &ref)) {
      ShowInvalid("Invalid handle");
      return kFailed;
    }
    SUMQMSG msg;
    std::memset(&msg, 0, sizeof msg);
    ERROR_REC err{};
    m_quorlen.sumqFindVisibleAlarm(&err, ref.number, ref.letter, ref.node, &msg);
    status = err.status;
    if (status != 0) continue;
    AlarmNames names(msg);
    m_quorlen.SumqDeleteAlarmByPhysicalNodeName(&err, &sort, ref.number, ref.letter,
                                                names.physicalNode,
                                                static_cast<unsigned short>(clientHandle));
    status = err.status;
    if (status == 0 && quiet == 0) SendOperatorMessage(nullptr, ref.node, names.tag, 4);
  }
  return status == 0 ? kOk : kFailed;
}

short CVeltAlmSummMgr::RemoveAllAlarmsByRef(short clientHandle, char* filter, short quiet) {
  if (clientHandle == kNoHandle) return kFailed;
  SORT_CNTL sort{};  // key 0, ascending
  const auto handle = static_cast<unsigned short>(clientHandle);
  tolvane::ViewRows view =
      tolvane::ReadViewRows(m_quorlen, sort, handle, filter, tolvane::ReferenceNode::kPhysicalNode);
  if (view.noMemory) return kFailed;
  const short placed = view.count;
  tagAlarmStr* rows = view.rows.get();
  ERROR_REC err{};
  if (placed <= 0) return kOk;
  for (short i = 0; i < placed; ++i) {
    tolvane::AlarmReference ref;
    if (!tolvane::ReadReference(rows[i].reference, sizeof rows[i].reference, &ref)) {
      ShowInvalid("Invalid Handle");
      continue;
    }
    m_quorlen.SumqDeleteAlarmByPhysicalNodeName(&err, &sort, ref.number, ref.letter, ref.node,
                                                handle);
  }
  if (quiet == 0) SendOperatorMessage(nullptr, nullptr, nullptr, 5);
  return kOk;
}
