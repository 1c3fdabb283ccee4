// The two lookups that turn node/tag names and references into queue alarms.
#include <cstring>
#include <mutex>

#include "manager/alarm_reference.h"
#include "platform/codepage.h"
#include "services/quinthe.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace {

struct LocalNodeNames {
  char name[12] = {};
  char alias[12] = {};
};

// Filled once per process; concurrent first callers wait for the one filling.
const LocalNodeNames& LocalNames() {
  static LocalNodeNames names;
  static std::once_flag once;
  std::call_once(once, [] {
    quinthe_get_local_node(names.name);
    short status = 0;
    quinthe_get_local_alias2(&status, names.alias);
    names.name[sizeof names.name - 1] = '\0';
    names.alias[sizeof names.alias - 1] = '\0';
  });
  return names;
}

}  // namespace

short CVeltAlmSummMgr::GetAlarmHandle(short clientHandle, char* nodeName, char* tagName,
                                      char* reference) {
  if (clientHandle == tolvane::kNoHandle) return tolvane::kFailed;
  const LocalNodeNames& local = LocalNames();

  SUMQMSG msg;
  std::memset(&msg, 0, sizeof msg);
  ERROR_REC err{};
  const char* node = nodeName ? nodeName : "";
  m_quorlen.sumqFindByTagname(&err, node, tagName ? tagName : "", &msg);
  if (reference) reference[0] = '\0';
  if (err.status != 0) return tolvane::kNoAlarmForTag;
  if (!reference) return tolvane::kOk;

  const VSP& vsp = msg.almpak.vsp;
  bool isLocal = local.name[0] != '\0' && tolvane::MbsIEqual(node, tolvane::FieldText(local.name));
  tolvane::WriteReference(reference, vsp.blockType, vsp.blockNumber, isLocal ? local.alias : node);
  return tolvane::kOk;
}

int CVeltAlmSummMgr::GetCorresspondingAlarm(char* reference, SUMQMSG* message) {
  tolvane::AlarmReference ref;
  if (!tolvane::ReadReference(reference, tolvane::kReferenceSize, &ref)) return 0;
  SUMQMSG found;
  std::memset(&found, 0, sizeof found);
  ERROR_REC err{};
  m_quorlen.sumqFind(&err, ref.number, ref.letter, ref.node, &found);
  if (err.status != 0) return 0;
  if (message) std::memcpy(message, &found, sizeof found);
  return 1;
}
