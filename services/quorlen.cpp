// CQuorlen forwards every call to the installed queue backend.
#include "tolvane/quorlen.h"

#include "services/backend_slot.h"
#include "services/queue_backend.h"

namespace tolvane {
namespace {
BackendSlot<QueueBackend> g_queue;
}  // namespace

void InstallQueueBackend(QueueBackend* backend) { g_queue.Install(backend); }
QueueBackend* InstalledQueueBackend() { return g_queue.Get(); }

}  // namespace tolvane

using tolvane::kServiceDown;

namespace {

// Runs `call` on the backend, or reports the service as down.
template <class F>
void Forward(ERROR_REC* err, F&& call) {
  tolvane::QueueBackend* q = tolvane::InstalledQueueBackend();
  short status = q ? call(*q) : kServiceDown;
  if (err) {
    err->status = status;
    err->reserved = 0;
  }
}

}  // namespace

void CQuorlen::sumqOpen(ERROR_REC* err, unsigned short* handle, unsigned char* flag) {
  unsigned short h = 0;
  unsigned char f = 0;
  Forward(err, [&](tolvane::QueueBackend& q) { return q.Open(&h, &f); });
  if (handle) *handle = h;
  if (flag) *flag = f;
}

void CQuorlen::sumqClose(ERROR_REC* err, unsigned short handle) {
  Forward(err, [&](tolvane::QueueBackend& q) { return q.Close(handle); });
}

void CQuorlen::sumqHornEnable(ERROR_REC* err) {
  Forward(err, [](tolvane::QueueBackend& q) { return q.HornEnable(); });
}

void CQuorlen::sumqHornDisable(ERROR_REC* err) {
  Forward(err, [](tolvane::QueueBackend& q) { return q.HornDisable(); });
}

void CQuorlen::sumqHornSquelch(ERROR_REC* err) {
  Forward(err, [](tolvane::QueueBackend& q) { return q.HornSquelch(); });
}

void CQuorlen::sumqGethdr(ERROR_REC* err, SUMQHDR* hdr) {
  Forward(err, [&](tolvane::QueueBackend& q) {
    return hdr ? q.GetHeader(hdr) : kServiceDown;
  });
}

void CQuorlen::sumqHome(ERROR_REC* err, FLTER_CNTL*, SORT_CNTL* sort, unsigned short handle) {
  Forward(err, [&](tolvane::QueueBackend& q) {
    return sort ? q.Home(*sort, handle) : kServiceDown;
  });
}

void CQuorlen::sumqEnd(ERROR_REC* err, FLTER_CNTL*, SORT_CNTL* sort, unsigned short handle) {
  Forward(err, [&](tolvane::QueueBackend& q) {
    return sort ? q.End(*sort, handle) : kServiceDown;
  });
}

void CQuorlen::sumqNextp(ERROR_REC* err, FLTER_CNTL*, SORT_CNTL* sort, int count,
                         unsigned short handle) {
  Forward(err, [&](tolvane::QueueBackend& q) {
    return sort ? q.NextPage(*sort, count, handle) : kServiceDown;
  });
}

void CQuorlen::sumqPrevp(ERROR_REC* err, FLTER_CNTL*, SORT_CNTL* sort, int count,
                         unsigned short handle) {
  Forward(err, [&](tolvane::QueueBackend& q) {
    return sort ? q.PrevPage(*sort, count, handle) : kServiceDown;
  });
}

unsigned short CQuorlen::sumqGet(ERROR_REC* err, SUMQMSG** list, unsigned short count,
                                 FLTER_CNTL*, SORT_CNTL* sort, unsigned short handle,
                                 unsigned short* more, void*, int) {
  unsigned short n = 0;
  SUMQMSG* got = nullptr;
  Forward(err, [&](tolvane::QueueBackend& q) {
    return (sort && list) ? q.Get(*sort, count, handle, &got, &n) : kServiceDown;
  });
  if (err && err->status != 0) {
    // A failed call hands back no list, whatever the backend left behind.
    if (got) {
      if (tolvane::QueueBackend* q = tolvane::InstalledQueueBackend()) q->FreeList(got);
    }
    got = nullptr;
    n = 0;
  }
  if (list) *list = got;
  if (more) *more = 0;
  return n;
}

void CQuorlen::sumqFreeList(SUMQMSG* list) {
  if (!list) return;
  if (tolvane::QueueBackend* q = tolvane::InstalledQueueBackend()) q->FreeList(list);
}

void CQuorlen::sumqFind(ERROR_REC* err, short number, char letter, const char* node,
                        SUMQMSG* msg) {
  Forward(err, [&](tolvane::QueueBackend& q) {
    return (node && msg) ? q.Find(number, letter, node, msg) : kServiceDown;
  });
}

void CQuorlen::sumqFindVisibleAlarm(ERROR_REC* err, short number, char letter, const char* node,
                                    SUMQMSG* msg) {
  Forward(err, [&](tolvane::QueueBackend& q) {
    return (node && msg) ? q.FindVisible(number, letter, node, msg) : kServiceDown;
  });
}

void CQuorlen::sumqFindByTagname(ERROR_REC* err, const char* node, const char* tag,
                                 SUMQMSG* msg) {
  Forward(err, [&](tolvane::QueueBackend& q) {
    return (node && tag && msg) ? q.FindByTagname(node, tag, msg) : kServiceDown;
  });
}

void CQuorlen::sumqMarkAsAcknowledged(ERROR_REC* err, short number, unsigned char letter,
                                      const char* node, unsigned short handle) {
  Forward(err, [&](tolvane::QueueBackend& q) {
    return node ? q.MarkAcknowledged(number, static_cast<char>(letter), node, handle)
                : kServiceDown;
  });
}

void CQuorlen::SumqDeleteAlarmByPhysicalNodeName(ERROR_REC* err, SORT_CNTL* sort, short number,
                                                 char letter, const char* physicalNode,
                                                 unsigned short handle) {
  Forward(err, [&](tolvane::QueueBackend& q) {
    return (sort && physicalNode)
               ? q.DeleteByPhysicalNode(*sort, number, letter, physicalNode, handle)
               : kServiceDown;
  });
}
