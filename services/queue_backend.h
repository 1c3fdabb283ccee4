// What a host installs to serve the summary-queue library (CQuorlen).
// Each method returns the call's status: 0 success, anything else a failure.
#pragma once

#include <string>

#include "tolvane/export.h"
#include "tolvane/records.h"

namespace tolvane {

// Status every shim reports while its service has no backend.
inline constexpr short kServiceDown = -1;
// Status of Walk for a place it cannot take (another sort key, damaged).
inline constexpr short kQueueBadPlace = 7;

// Receives the records of a view where a backend keeps them (see
// QueueBackend::Visit).
class QueueRecordVisitor {
 public:
  // records[0..n): what Get would have listed, in the same order. Called
  // under the backend's lock: it must not call the queue, and the records
  // are valid only during the call.
  virtual void Visit(const SUMQMSG* const* records, unsigned short n) = 0;

 protected:
  ~QueueRecordVisitor() = default;
};

// One record met by QueueBackend::Walk, with a way to save where it stands.
class QueueViewPlace {
 public:
  // The record's place in its view, as opaque bytes that Walk takes back as
  // `after`: it stays valid when the record itself leaves the queue.
  virtual std::string Save() const = 0;

 protected:
  ~QueueViewPlace() = default;
};

class QueueViewWalker {
 public:
  // One record of the view, in order; false stops the walk. Called under the
  // backend's lock: it must not call the queue, and `msg` is valid only
  // during the call.
  virtual bool Record(const SUMQMSG& msg, const QueueViewPlace& place) = 0;

 protected:
  ~QueueViewWalker() = default;
};

class QueueBackend {
 public:
  virtual ~QueueBackend() = default;

  virtual short Open(unsigned short* handle, unsigned char* flag) = 0;
  virtual short Close(unsigned short handle) = 0;
  virtual short HornEnable() = 0;
  virtual short HornDisable() = 0;
  virtual short HornSquelch() = 0;
  virtual short GetHeader(SUMQHDR* hdr) = 0;
  virtual short Home(const SORT_CNTL& sort, unsigned short handle) = 0;
  virtual short End(const SORT_CNTL& sort, unsigned short handle) = 0;
  virtual short NextPage(const SORT_CNTL& sort, int count, unsigned short handle) = 0;
  virtual short PrevPage(const SORT_CNTL& sort, int count, unsigned short handle) = 0;
  // Fills *list with a new array of *n messages (free with FreeList).
  virtual short Get(const SORT_CNTL& sort, unsigned short count, unsigned short handle,
                    SUMQMSG** list, unsigned short* n) = 0;
  virtual void FreeList(SUMQMSG* list) = 0;
  virtual short Find(short number, char letter, const char* node, SUMQMSG* msg) = 0;
  virtual short FindVisible(short number, char letter, const char* node, SUMQMSG* msg) = 0;
  virtual short FindByTagname(const char* node, const char* tag, SUMQMSG* msg) = 0;
  virtual short MarkAcknowledged(short number, char letter, const char* node,
                                 unsigned short handle) = 0;
  virtual short DeleteByPhysicalNode(const SORT_CNTL& sort, short number, char letter,
                                     const char* physicalNode, unsigned short handle) = 0;

  // Optional: a backend that can show its records in place, sparing the copy
  // that Get makes, says so here and implements Visit. Without it, callers
  // use Get and FreeList.
  virtual bool CanVisit() const { return false; }
  // Calls visitor.Visit once with what Get(sort, count, handle) would list,
  // and returns the status Get would (the visitor is not called on failure).
  virtual short Visit(const SORT_CNTL& sort, unsigned short count, unsigned short handle,
                      QueueRecordVisitor& visitor) {
    (void)sort, (void)count, (void)handle, (void)visitor;
    return kServiceDown;
  }

  // Optional: a backend that can walk a whole view, however long, says so
  // here. Without it, only the 16-bit reads above reach the view.
  virtual bool CanWalk() const { return false; }
  // Walks the view of `sort` (key and direction, as Get orders it), holding
  // no client cursor: from its first record, or from the first one past
  // `after` (a saved place of the same sort key), towards its end, or
  // towards its start when `backward`. Shelved records are not in a view.
  // Returns 0, or a failure status (then nothing was walked); a place of
  // another sort key or one that does not read is kQueueBadPlace.
  virtual short Walk(const SORT_CNTL& sort, const std::string& after, bool backward,
                     QueueViewWalker& walker) {
    (void)sort, (void)after, (void)backward, (void)walker;
    return kServiceDown;
  }
  // Calls walker.Record for every shelved record, in no set order (its
  // place is not one of a view).
  virtual short WalkShelved(QueueViewWalker& walker) {
    (void)walker;
    return kServiceDown;
  }
};

// REQUIRES: the backend outlives every call made while it is installed.
// Pass null to uninstall.
TOLVANE_API void InstallQueueBackend(QueueBackend* backend);
TOLVANE_API QueueBackend* InstalledQueueBackend();

}  // namespace tolvane
