// Views of the whole queue: pages by place, exact counts, and the bulk
// acknowledge and remove built on them.
#include "tolvane/alarm_view.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "filter/prepared_terms.h"
#include "filter/process_caches.h"
#include "manager/alarm_reference.h"
#include "manager/queue_controls.h"
#include "manager/row_conversion.h"
#include "services/queue_backend.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/codepage.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace tolvane {
namespace {

constexpr int32_t kOperatorMessage = 8;

bool IsOperatorMessage(const SUMQMSG& msg) {
  return msg.almpak.msgType == kOperatorMessage;
}

// Node names compare as the queue compares them: ASCII letters without case.
bool SameNodeNoCase(std::string_view a, std::string_view b) {
  auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// What a view selects: the kind of record it holds, then the filter.
struct ViewMatcher {
  RowFilter filter;
  ViewRecords records = ViewRecords::kAll;
  bool Matches(const SUMQMSG& msg) {
    if (records != ViewRecords::kAll &&
        IsOperatorMessage(msg) != (records == ViewRecords::kMessages)) {
      return false;
    }
    return filter.Matches(msg);
  }
};

// One record's share of a view's counts, added or taken away: the one rule
// for a count and for a change applied to it. Wraps below zero only while
// a change is half applied.
void Share(ViewMatcher& view, const SUMQMSG& msg, bool shelved, bool add, AlarmViewCounts* c) {
  auto step = [add](std::size_t& n) { add ? ++n : --n; };
  if (!shelved) step(c->total);
  if (!view.Matches(msg)) return;
  if (shelved) {
    step(c->shelved);  // apart: shelved alarms are in no view
    return;
  }
  step(c->matched);
  if (IsOperatorMessage(msg)) {
    step(c->messages);
    return;
  }
  step(c->alarms);
  if (msg.ackFlag == 0) step(c->unacknowledged);
  auto id = static_cast<uint16_t>(msg.almpak.priority);
  step(c->byPriority[std::min<std::size_t>(id, c->byPriority.size() - 1)]);
}

// Calls `each(msg, place)` for every record the view selects, from
// `after` on (or back), until it returns false.
template <class Each>
struct MatchWalker final : QueueViewWalker {
  ViewMatcher& filter;
  Each each;
  MatchWalker(ViewMatcher& f, Each e) : filter(f), each(std::move(e)) {}
  bool Record(const SUMQMSG& msg, const QueueViewPlace& place) override {
    if (!filter.Matches(msg)) return true;
    return each(msg, place);
  }
};

}  // namespace

struct AlarmView::Impl {
  SORT_CNTL sort{};
  ViewMatcher filter;
  short check = kOk;
  // What the last Count read besides the records, for KeptCountsHold.
  bool counted = false;
  unsigned int codePage = 0;
  bool wordsSettled = false;

  // Walks the matched records; kViewUnavailable without a walking queue.
  template <class Each>
  short Walk(const std::string& after, bool backward, Each each) {
    if (check != kOk) return check;
    QueueBackend* backend = InstalledQueueBackend();
    if (!backend || !backend->CanWalk()) return kViewUnavailable;
    try {
      MatchWalker<Each> walker(filter, std::move(each));
      short s = backend->Walk(sort, after, backward, walker);
      if (s == kQueueBadPlace) return kBadViewPlace;
      return s == 0 ? kOk : kFailed;
    } catch (...) {
      return kFailed;
    }
  }

  // Up to n rows from `after` on (or back, then put in view order), with
  // one more match looked for to tell whether the page ends the view.
  short Read(const std::string& after, bool backward, std::size_t skip, std::size_t n,
             AlarmViewPage* page) {
    if (!page) return kFailed;
    *page = AlarmViewPage{};
    std::string edge;  // the place of the row read last
    bool more = false;
    short s = Walk(after, backward, [&](const SUMQMSG& msg, const QueueViewPlace& place) {
      if (skip > 0) {
        --skip;
        return true;
      }
      if (page->rows.size() == n) {
        more = true;
        return false;
      }
      page->rows.emplace_back();
      std::memset(&page->rows.back(), 0, sizeof(tagAlarmStr));
      BuildRow(msg, &page->rows.back(), ReferenceNode::kNodeName);
      edge = place.Save();
      if (page->rows.size() == 1) page->first = edge;
      return true;
    });
    if (s != kOk) {
      *page = AlarmViewPage{};
      return s;
    }
    page->last = edge;
    const bool fromEnd = after.empty() && skip == 0;
    if (backward) {
      std::reverse(page->rows.begin(), page->rows.end());
      std::swap(page->first, page->last);
      page->atStart = !more;
      page->atEnd = fromEnd;
    } else {
      page->atEnd = !more;
      page->atStart = after.empty();
    }
    return kOk;
  }
};

AlarmView::AlarmView(long sortCode, const char* filter) {
  try {
    impl_ = std::make_unique<Impl>();
    ApplySortCode(&impl_->sort, sortCode);
    if (!impl_->filter.filter.Prepare(filter ? filter : "")) impl_->check = kBadFilter;
  } catch (...) {
    impl_.reset();
  }
}

AlarmView::~AlarmView() = default;

short AlarmView::Check() const {
  return impl_ ? impl_->check : kFailed;
}

short AlarmView::First(std::size_t n, AlarmViewPage* page) {
  if (!impl_) return kFailed;
  return impl_->Read({}, false, 0, n, page);
}

short AlarmView::Last(std::size_t n, AlarmViewPage* page) {
  if (!impl_) return kFailed;
  return impl_->Read({}, true, 0, n, page);
}

short AlarmView::After(const std::string& place, std::size_t n, AlarmViewPage* page) {
  if (!impl_) return kFailed;
  if (place.empty()) return kBadViewPlace;
  short s = impl_->Read(place, false, 0, n, page);
  if (s == kOk) page->atStart = false;
  return s;
}

short AlarmView::Before(const std::string& place, std::size_t n, AlarmViewPage* page) {
  if (!impl_) return kFailed;
  if (place.empty()) return kBadViewPlace;
  short s = impl_->Read(place, true, 0, n, page);
  if (s == kOk) page->atEnd = false;
  return s;
}

short AlarmView::Page(std::size_t number, std::size_t n, AlarmViewPage* page) {
  if (!impl_) return kFailed;
  if (n == 0 || number > SIZE_MAX / n) return kFailed;
  short s = impl_->Read({}, false, number * n, n, page);
  if (s == kOk) page->atStart = number == 0;
  return s;
}

namespace {

bool Names(const SUMQMSG& msg, const AlarmReference& ref) {
  const _ALMPAK& p = msg.almpak;
  return !IsOperatorMessage(msg) && p.vsp.blockType == ref.letter &&
         p.vsp.blockNumber == ref.number && SameNodeNoCase(FieldText(p.node), ref.node);
}

}  // namespace

short AlarmView::PlaceOf(const char* reference, std::string* place) {
  if (!impl_ || !place) return kFailed;
  AlarmReference ref;
  if (!ReadCallerReference(reference, &ref)) return kFailed;
  if (impl_->check != kOk) return impl_->check;
  QueueBackend* backend = InstalledQueueBackend();
  if (!backend || !backend->CanWalk()) return kViewUnavailable;
  struct Finder final : QueueViewWalker {
    const AlarmReference& ref;
    std::string* place;
    bool found = false;
    Finder(const AlarmReference& r, std::string* p) : ref(r), place(p) {}
    bool Record(const SUMQMSG& msg, const QueueViewPlace& at) override {
      if (!Names(msg, ref)) return true;
      *place = at.Save();
      found = true;
      return false;
    }
  };
  try {
    Finder finder(ref, place);
    if (backend->Walk(impl_->sort, {}, false, finder) != 0) return kFailed;
    return finder.found ? kOk : kNotInView;
  } catch (...) {
    return kFailed;
  }
}

short AlarmView::PageHolding(const char* reference, std::size_t n, AlarmViewPage* page,
                             std::size_t* number, std::size_t* row) {
  if (!impl_) return kFailed;
  AlarmReference ref;
  if (n == 0 || !page || !ReadCallerReference(reference, &ref)) return kFailed;
  std::size_t rank = 0;
  bool found = false;
  short s = impl_->Walk({}, false, [&](const SUMQMSG& msg, const QueueViewPlace&) {
    if (Names(msg, ref)) {
      found = true;
      return false;
    }
    ++rank;
    return true;
  });
  if (s != kOk) return s;
  if (!found) return kNotInView;
  // Read as one with the search above only while nothing changes in
  // between; a display refreshes anyway.
  s = Page(rank / n, n, page);
  if (s != kOk) return s;
  if (number) *number = rank / n;
  if (row) *row = rank % n;
  return kOk;
}

void AlarmView::Select(ViewRecords records) {
  if (impl_) impl_->filter.records = records;
}

short AlarmView::Count(AlarmViewCounts* counts) {
  if (!impl_ || !counts) return kFailed;
  *counts = AlarmViewCounts{};
  impl_->counted = false;
  if (impl_->check != kOk) return impl_->check;
  QueueBackend* backend = InstalledQueueBackend();
  if (!backend || !backend->CanWalk()) return kViewUnavailable;
  // Every record is counted, matched or not: the walker sees them all.
  struct Counter final : QueueViewWalker {
    ViewMatcher& filter;
    AlarmViewCounts* counts;
    bool shelved;
    Counter(ViewMatcher& f, AlarmViewCounts* c, bool s) : filter(f), counts(c), shelved(s) {}
    bool Record(const SUMQMSG& msg, const QueueViewPlace&) override {
      Share(filter, msg, shelved, true, counts);
      return true;
    }
  };
  try {
    // Read before the walk: a change during it then shows as a change.
    const unsigned int codePage = GetAnsiCodePage();
    const bool settled = impl_->filter.filter.ColumnsRead() == 0 || filter::SettleMatcherWords();
    Counter inView(impl_->filter, counts, false);
    if (backend->Walk(impl_->sort, {}, false, inView) != 0) return *counts = {}, kFailed;
    Counter shelved(impl_->filter, counts, true);
    if (backend->WalkShelved(shelved) != 0) return *counts = {}, kFailed;
    impl_->codePage = codePage;
    impl_->wordsSettled = settled;
    impl_->counted = true;
  } catch (...) {
    *counts = AlarmViewCounts{};
    return kFailed;
  }
  return kOk;
}

bool AlarmView::Matches(const SUMQMSG& record) {
  return impl_ && impl_->check == kOk && impl_->filter.Matches(record);
}

short AlarmView::Apply(const AlarmRecordChange& change, AlarmViewCounts* counts) {
  if (!impl_ || !counts) return kFailed;
  if (impl_->check != kOk) return impl_->check;
  if (change.before) Share(impl_->filter, *change.before, change.shelvedBefore, false, counts);
  if (change.after) Share(impl_->filter, *change.after, change.shelvedAfter, true, counts);
  return kOk;
}

bool AlarmView::KeptCountsHold() const {
  if (!impl_ || !impl_->counted) return false;
  // A date term compares by the user's date settings, read afresh by each
  // count (a file anyone may edit): such counts are not kept.
  constexpr unsigned int kDates = filter::kColumnDateIn | filter::kColumnDateLast;
  if (impl_->filter.filter.ColumnsRead() & kDates) return false;
  return impl_->wordsSettled && impl_->codePage == GetAnsiCodePage();
}

short AlarmView::ForEach(std::size_t chunk,
                         const std::function<bool(tagAlarmStr* rows, std::size_t n)>& each) {
  if (!impl_) return kFailed;
  if (chunk == 0) return kFailed;
  std::vector<tagAlarmStr> rows;
  try {
    rows.reserve(chunk);
  } catch (...) {
    return kFailed;
  }
  std::string after;
  for (;;) {
    rows.clear();
    bool full = false;
    short s = impl_->Walk(after, false, [&](const SUMQMSG& msg, const QueueViewPlace& place) {
      rows.emplace_back();
      std::memset(&rows.back(), 0, sizeof(tagAlarmStr));
      BuildRow(msg, &rows.back(), ReferenceNode::kNodeName);
      if (rows.size() < chunk) return true;
      after = place.Save();
      full = true;
      return false;
    });
    if (s != kOk) return s;
    if (!rows.empty() && !each(rows.data(), rows.size())) return kOk;
    if (!full) return kOk;
  }
}

// The bulk actions reach the manager's own batch steps.
class ViewActions {
 public:
  struct Key {
    char letter;
    int16_t number;
    char node[kRefNodeSize];
  };

  static Key KeyOf(const tagAlarmStr& row) {
    Key k{static_cast<char>(row.vsp.blockType), row.vsp.blockNumber, {}};
    SetFieldText(k.node, FieldText(row.node));
    return k;
  }

  // True when the alarm of `k` stands and is unacknowledged (`newOnly`) or
  // stands at all.
  static bool Stands(CVeltAlmSummMgr& mgr, const Key& k, bool newOnly) {
    SUMQMSG msg;
    std::memset(&msg, 0, sizeof msg);
    ERROR_REC err{};
    mgr.m_quorlen.sumqFind(&err, k.number, k.letter, k.node, &msg);
    if (err.status != 0) return false;
    return !newOnly || msg.ackFlag == 0;
  }

  static short AcknowledgeAll(CVeltAlmSummMgr& mgr, short handle, const char* filter, short quiet,
                              BulkOutcome* outcome) {
    BulkOutcome out;
    if (handle == kNoHandle) return Finish(kFailed, out, outcome);
    AlarmView view(5, filter);  // node order: a node's alarms stand together
    std::vector<Key> selected;
    bool uncached = false;
    std::string node;  // the node batch under way, across chunks
    bool nodeAcked = false;
    auto announce = [&] {
      if (quiet == 0 && nodeAcked && !node.empty()) {
        char name[kRefNodeSize];
        SetFieldText(name, node);
        mgr.SendOperatorMessage(name, name, nullptr, 2);
      }
      nodeAcked = false;
    };
    short s = view.ForEach(4096, [&](tagAlarmStr* rows, std::size_t n) {
      // Operator messages have no block to acknowledge.
      std::size_t kept = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (rows[i].reference[0] == '\0') continue;
        if (rows[i].ack[0] == '0') selected.push_back(KeyOf(rows[i]));
        if (kept != i) rows[kept] = rows[i];
        ++kept;
      }
      for (std::size_t start = 0; start < kept;) {
        std::size_t end = start + 1;
        while (end < kept && std::memcmp(rows[end].node, rows[start].node, sizeof rows[0].node) == 0)
          ++end;
        std::string batchNode(FieldText(rows[start].node));
        if (batchNode != node) {
          announce();
          node = batchNode;
        }
        bool acked = false;
        short st = mgr.AckNodeBatch(rows + start, end - start, handle, &uncached, &acked);
        if (st != kOk && out.status == kOk) out.status = st;
        nodeAcked = nodeAcked || acked;
        start = end;
      }
      return true;
    });
    announce();
    if (s != kOk) return Finish(s, out, outcome);
    out.selected = selected.size();
    for (const Key& k : selected) {
      if (!Stands(mgr, k, true)) ++out.done;
    }
    return Finish(out.done == out.selected ? kOk : (out.status != kOk ? out.status : kFailed), out,
                  outcome);
  }

  static short RemoveAll(CVeltAlmSummMgr& mgr, short handle, const char* filter, short quiet,
                         BulkOutcome* outcome) {
    BulkOutcome out;
    if (handle == kNoHandle) return Finish(kFailed, out, outcome);
    AlarmView view(1, filter);  // time in, as the defined remove-all reads
    SORT_CNTL sort{};
    std::vector<Key> selected;
    short s = view.ForEach(4096, [&](tagAlarmStr* rows, std::size_t n) {
      for (std::size_t i = 0; i < n; ++i) {
        if (rows[i].reference[0] == '\0') continue;  // operator messages stay
        Key k = KeyOf(rows[i]);
        selected.push_back(k);
        SUMQMSG msg;
        std::memset(&msg, 0, sizeof msg);
        ERROR_REC err{};
        mgr.m_quorlen.sumqFind(&err, k.number, k.letter, k.node, &msg);
        if (err.status != 0) continue;  // gone meanwhile
        char physical[kRefNodeSize];
        SetFieldText(physical, FieldText(msg.almpak.physicalNode));
        mgr.m_quorlen.SumqDeleteAlarmByPhysicalNodeName(&err, &sort, k.number, k.letter, physical,
                                                        static_cast<unsigned short>(handle));
        if (err.status != 0 && out.status == kOk) out.status = err.status;
      }
      return true;
    });
    if (s != kOk) return Finish(s, out, outcome);
    out.selected = selected.size();
    if (quiet == 0 && out.selected > 0) mgr.SendOperatorMessage(nullptr, nullptr, nullptr, 5);
    for (const Key& k : selected) {
      if (!Stands(mgr, k, false)) ++out.done;
    }
    return Finish(out.done == out.selected ? kOk : (out.status != kOk ? out.status : kFailed), out,
                  outcome);
  }

 private:
  static short Finish(short status, const BulkOutcome& out, BulkOutcome* outcome) {
    if (outcome) {
      *outcome = out;
      if (status != kOk && outcome->status == kOk) outcome->status = status;
    }
    return status;
  }
};

short AcknowledgeAllInView(CVeltAlmSummMgr& mgr, short clientHandle, const char* filter,
                           short quiet, BulkOutcome* outcome) {
  try {
    return ViewActions::AcknowledgeAll(mgr, clientHandle, filter, quiet, outcome);
  } catch (...) {
    return kFailed;
  }
}

short RemoveAllInView(CVeltAlmSummMgr& mgr, short clientHandle, const char* filter, short quiet,
                      BulkOutcome* outcome) {
  try {
    return ViewActions::RemoveAll(mgr, clientHandle, filter, quiet, outcome);
  } catch (...) {
    return kFailed;
  }
}

}  // namespace tolvane
