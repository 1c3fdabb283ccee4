// Reaches the manager's private members in tests. Only the integration suite
// includes it; the manager suite has its own peer.
#pragma once

#include "tolvane/CVeltAlmSummMgr.h"

class CVeltAlmSummMgrTestPeer {
 public:
  static int CorrespondingAlarm(CVeltAlmSummMgr& m, char* ref, SUMQMSG* msg) {
    return m.GetCorresspondingAlarm(ref, msg);
  }
  static short SendOperatorMessage(CVeltAlmSummMgr& m, const char* node, const char* first,
                                   const char* second, short action) {
    return m.SendOperatorMessage(const_cast<char*>(node), const_cast<char*>(first),
                                 const_cast<char*>(second), action);
  }
  static short AckFiltered(CVeltAlmSummMgr& m, tagAlarmStr* rows, short count, short quiet,
                           short handle) {
    return m.AckFilteredAlarms(rows, count, quiet, handle);
  }
  static int ConvertRows(CVeltAlmSummMgr& m, SUMQMSG* list, tagAlarmStr* rows, short n,
                         short* rowCount, const char* filter) {
    return m.copyToAlmPackString(list, reinterpret_cast<char*>(rows), n, rowCount,
                                 const_cast<char*>(filter));
  }
  static unsigned int ValueText(CVeltAlmSummMgr& m, _AlmCanonicalValue* v, char* text,
                                unsigned int size) {
    return m.ConvertValueToText(v, text, size);
  }
  static void RemoveNulls(CVeltAlmSummMgr& m, tagAlarmStr* row, int flag) {
    m.RemoveNulls(row, flag);
  }
};
