// The alarm summary manager: the library's whole public face.
//
// A display creates a manager, takes a client handle per alarm view, then
// fetches pages of rows and acts on alarms through it. Every member returns
// a 16-bit result code (tolvane/result_codes.h); nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tolvane/carray.h"
#include "tolvane/export.h"
#include "tolvane/oleauto.h"
#include "tolvane/quorlen.h"
#include "tolvane/records.h"

struct zunagroup;
class CVeltAlmSummMgrTestPeer;
namespace tolvane {
class ViewActions;
}

class TOLVANE_API CVeltAlmSummMgr {
 public:
  CVeltAlmSummMgr();
  CVeltAlmSummMgr(const CVeltAlmSummMgr& other);
  virtual ~CVeltAlmSummMgr();
  CVeltAlmSummMgr& operator=(const CVeltAlmSummMgr& other);

  short AcknowledgeAlarmByRef(short clientHandle, char* reference, short quiet);
  short AcknowledgeAllAlarmsByRef(char* filter, short clientHandle, short quiet);
  short AlarmHornEnabled(short* enabled);
  short CacheFieldIDs(zunagroup* group, CArray<unsigned int, unsigned int&>* entries);
  void CachePDBSNInfo(zunagroup* group, CArray<unsigned int, unsigned int&>* entries);
  short ConfigureHorn(short enable);
  short FetchAlarmsByRef(VARIANT* result, long count, char* filter, long sortCode,
                         short clientHandle, short* rowCount);
  short FreeAlarmClientHandle(short clientHandle);
  short GetAlarmClientHandle();
  short GetAlarmHandle(short clientHandle, char* nodeName, char* tagName, char* reference);
  long GetAlarmSequenceNumber();
  long GetTotalNumOfAlarms();
  short GetVSPFieldInfo(char* nodeName, char* tagName, char* fieldName, VSP* vsp);
  short ManuallyDeleteAlarmByRef(short clientHandle, char* reference, short quiet);
  short MarkAsAcknowledgedByRef(short clientHandle, char* reference);
  void ReCacheFieldIDs(zunagroup* group, CArray<unsigned int, unsigned int&>* entries);
  short RemoveAlarmsByRef(short clientHandle, char* references, long sortCode, int count,
                          short quiet);
  short RemoveAllAlarmsByRef(short clientHandle, char* filter, short quiet);
  void SetPDBSNInfo(zunagroup* group);
  short SilenceHorn();
  short ValidateFilterString(char* filter);

  static unsigned int m_uiObjectCount;
  static unsigned int m_uiClientHandleCount;

 private:
  friend class CVeltAlmSummMgrTestPeer;
  friend class tolvane::ViewActions;  // the whole-view acknowledge and remove

  short AckFilteredAlarms(tagAlarmStr* rows, short rowCount, short quiet, short clientHandle);
  // One node's rows of an acknowledge-all, without its operator message.
  // `uncached` is call-wide (once a field missed the cache, every batch
  // resolves); *acked tells whether a B_NALM write succeeded.
  short AckNodeBatch(tagAlarmStr* rows, std::size_t count, short clientHandle, bool* uncached,
                     bool* acked);
  unsigned int ConvertValueToText(_AlmCanonicalValue* value, char* text, unsigned int size);
  void FillAlarmRow(_ALMPAK* packet, tagAlarmStr* row);
  int GetCorresspondingAlarm(char* reference, SUMQMSG* message);
  void GetSortCondition(SORT_CNTL* sort, long sortCode);
  void RemoveNulls(tagAlarmStr* row, int flag);
  short SendOperatorMessage(char* nodeName, char* firstArg, char* secondArg, short action);
  void copyToAlmPack(SUMQMSG* list, char* rows, int n);
  int copyToAlmPackString(SUMQMSG* list, char* rows, short n, short* rowCount, char* filter);

  CQuorlen m_quorlen;
};
