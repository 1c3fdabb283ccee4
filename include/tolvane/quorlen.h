// Client object of the summary-queue library. Every call reports through an
// ERROR_REC; with no queue backend installed every call fails with status
// tolvane::kServiceDown and returns no data.
#pragma once

#include "tolvane/export.h"
#include "tolvane/records.h"

class TOLVANE_API CQuorlen {
 public:
  CQuorlen() = default;
  // Sets only the table of virtual operations; there is no other state.
  CQuorlen(const CQuorlen&) {}
  CQuorlen& operator=(const CQuorlen&) { return *this; }

  virtual void sumqOpen(ERROR_REC* err, unsigned short* handle, unsigned char* flag);
  virtual void sumqClose(ERROR_REC* err, unsigned short handle);

  void sumqHornEnable(ERROR_REC* err);
  void sumqHornDisable(ERROR_REC* err);
  void sumqHornSquelch(ERROR_REC* err);
  void sumqGethdr(ERROR_REC* err, SUMQHDR* hdr);

  void sumqHome(ERROR_REC* err, FLTER_CNTL* filter, SORT_CNTL* sort, unsigned short handle);
  void sumqEnd(ERROR_REC* err, FLTER_CNTL* filter, SORT_CNTL* sort, unsigned short handle);
  void sumqNextp(ERROR_REC* err, FLTER_CNTL* filter, SORT_CNTL* sort, int count,
                 unsigned short handle);
  void sumqPrevp(ERROR_REC* err, FLTER_CNTL* filter, SORT_CNTL* sort, int count,
                 unsigned short handle);

  // Up to `count` messages (0: all) of the sorted view from the client's
  // cursor, as one array that sumqFreeList releases. Returns how many.
  unsigned short sumqGet(ERROR_REC* err, SUMQMSG** list, unsigned short count, FLTER_CNTL* filter,
                         SORT_CNTL* sort, unsigned short handle, unsigned short* more,
                         void* reserved, int flag);
  void sumqFreeList(SUMQMSG* list);

  void sumqFind(ERROR_REC* err, short number, char letter, const char* node, SUMQMSG* msg);
  void sumqFindVisibleAlarm(ERROR_REC* err, short number, char letter, const char* node,
                            SUMQMSG* msg);
  void sumqFindByTagname(ERROR_REC* err, const char* node, const char* tag, SUMQMSG* msg);
  void sumqMarkAsAcknowledged(ERROR_REC* err, short number, unsigned char letter, const char* node,
                              unsigned short handle);
  void SumqDeleteAlarmByPhysicalNodeName(ERROR_REC* err, SORT_CNTL* sort, short number,
                                         char letter, const char* physicalNode,
                                         unsigned short handle);
};
