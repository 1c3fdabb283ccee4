// The embedded alarm summary queue.
//
// Alarms live in blocks (summary_queue_store.h), found by id, by block and by
// tag through tables that grow with the queue but do not slow down with it.
// Each sort key gets an ordered index of the visible alarms the first time a
// client uses it, built by one sort of compact keys; from then on every
// change keeps it up to date, so positioning and paging never re-sort.
// Cursors point at an alarm; when that alarm leaves the view the cursor moves
// on to the next one in its order.
#include "node/summary_queue.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "node/summary_queue_message.h"
#include "node/summary_queue_order.h"
#include "node/summary_queue_store.h"
#include "tolvane/text_field.h"

namespace tolvane::node {

using detail::StoredAlarm;
using detail::ViewEntry;

namespace {

using View = std::set<ViewEntry, detail::ViewEntryLess>;

ViewEntry EntryOf(int key, StoredAlarm* a) {
  return {detail::WordsOf(key, *a), a};
}

// The folded names a node name stands for, packed (detail::PackName): the
// local name and its aliases all stand for each other. A name longer than
// any node field holds stands for nothing.
struct NodeKeys {
  std::array<uint64_t, 3> keys{};
  std::size_t n = 0;
  void Add(std::string_view name) {
    uint64_t k;
    if (!detail::PackName(name, true, &k)) return;
    for (std::size_t i = 0; i < n; ++i) {
      if (keys[i] == k) return;
    }
    keys[n++] = k;
  }
  const uint64_t* begin() const { return keys.data(); }
  const uint64_t* end() const { return keys.data() + n; }
};

enum class CursorState {
  kHome,     // floats on the first alarm of whatever view is asked for
  kEnd,      // floats on the last one
  kOn,       // on `alarm`, placed in the order of `key`/`descending`
  kPastEnd,  // its alarm left the view with nothing after it
};

struct Cursor {
  CursorState state = CursorState::kHome;
  StoredAlarm* alarm = nullptr;
  int key = 0;
  bool descending = false;
};

struct Order {
  int key;
  bool descending;
};

Order OrderOf(const SORT_CNTL& sort) {
  return {detail::EffectiveKey(sort.key), sort.direction != 0};
}

bool IsOperatorMessage(const StoredAlarm& a) {
  return a.msg.almpak.msgType == 8;
}

// Nothing thrown inside (only allocation can throw) leaves the queue: a
// backend call reports it as a status, a host call as "not done".
template <class F>
short Guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return kQueueNoMemory;
  }
}

template <class F>
bool GuardedBool(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return false;
  }
}

// The sort keys that read what an acknowledge changes (key 8), and what an
// update changes: time of last change (1), status (7), value (13).
constexpr unsigned int kAckKeys = 1u << 8;
constexpr unsigned int kUpdateKeys = 1u << 1 | 1u << 7 | 1u << 13;
// Raising a standing alarm again changes all but its block and time in:
// every key but time in (0) and node (6, 12) reads something it changes.
constexpr unsigned int kRaiseKeys = ((1u << kSortKeys) - 1) & ~(1u << 0 | 1u << 6 | 1u << 12);

// A host names a block's node as it raised it; only 8 characters are kept.
std::string_view HostNode(const std::string& node) {
  return std::string_view(node).substr(0, 8);
}

}  // namespace

// Lists handed out by Get carry their capacity just before the messages, so
// that FreeList can keep the last one for the next Get: a display refetches
// the same page size over and over, and a fresh block of that size would
// cost a page fault per 4 KiB every time.
class ListPool {
 public:
  ~ListPool() { std::free(spare_); }
  SUMQMSG* Take(std::size_t count) {
    {
      std::lock_guard lock(m_);
      if (spare_ && Capacity(spare_) >= count) {
        unsigned char* block = spare_;
        spare_ = nullptr;
        return Messages(block);
      }
    }
    auto* block = static_cast<unsigned char*>(std::malloc(kHeader + count * sizeof(SUMQMSG)));
    if (!block) return nullptr;
    std::memcpy(block, &count, sizeof count);
    return Messages(block);
  }
  void Give(SUMQMSG* list) {
    if (!list) return;
    unsigned char* block = reinterpret_cast<unsigned char*>(list) - kHeader;
    std::lock_guard lock(m_);
    if (spare_ && Capacity(spare_) >= Capacity(block)) {
      std::free(block);
      return;
    }
    std::free(spare_);
    spare_ = block;
  }

 private:
  static constexpr std::size_t kHeader = 16;  // keeps the messages 16-byte aligned
  static std::size_t Capacity(const unsigned char* block) {
    std::size_t n;
    std::memcpy(&n, block, sizeof n);
    return n;
  }
  static SUMQMSG* Messages(unsigned char* block) {
    return reinterpret_cast<SUMQMSG*>(block + kHeader);
  }
  std::mutex m_;
  unsigned char* spare_ = nullptr;
};

struct SummaryQueue::Impl {
  mutable std::mutex m;
  ListPool lists;
  LocalNames names;
  detail::AlarmPool pool;
  detail::IdTable alarms;
  uint64_t nextId = 1;
  std::array<std::unique_ptr<View>, kSortKeys> views;
  detail::LookupIndex byBlock{detail::kByBlock};
  detail::LookupIndex byPhysical{detail::kByPhysical};
  detail::LookupIndex byTag{detail::kByTag};
  std::map<unsigned short, Cursor> clients;
  unsigned short nextHandle = 1;
  uint32_t sequence = 0;
  bool hornEnabled = true;
  bool hornSilenced = false;
  ChangeListener listener;
  std::vector<std::pair<ListenerToken, EventListener>> events;
  ListenerToken nextListener = 1;
  std::vector<const SUMQMSG*> visitBuffer;  // reused by Visit

  void Bump() { ++sequence; }
  void Changed(uint64_t id) {
    if (listener) listener(id);
  }
  bool Telling() const { return !events.empty(); }
  void Tell(const Event& e) {
    for (auto& listener : events) listener.second(e);
  }

  // --- indexes ---

  // The alarms in the order of `key`, shelved ones too when `all`.
  std::vector<ViewEntry> Sorted(int key, bool all) const {
    std::vector<ViewEntry> sorted;
    sorted.reserve(alarms.size());
    alarms.ForEach([&](StoredAlarm* a) {
      if (all || !a->suppressed) sorted.push_back(EntryOf(key, a));
    });
    detail::SortEntries(key, sorted);
    return sorted;
  }

  View& EnsureView(int key) {
    auto& slot = views[static_cast<std::size_t>(key)];
    if (!slot) {
      // Sorted once, then appended at the end: linear inserts, not log n each.
      std::vector<ViewEntry> sorted = Sorted(key, false);
      auto view = std::make_unique<View>(detail::ViewEntryLess{key});
      for (const ViewEntry& e : sorted) view->insert(view->end(), e);
      slot = std::move(view);
    }
    return *slot;
  }

  // Where `a` stands in view `v` of `key`; end() when not in it.
  static View::iterator Locate(View& v, int key, StoredAlarm* a) { return v.find(EntryOf(key, a)); }

  // A new or changed alarm is often the last of a view (time in, last
  // change, a node of its own): tried at the end first, then searched for.
  static void Put(View& v, int key, StoredAlarm* a) { v.insert(v.end(), EntryOf(key, a)); }

  // One search, where erase by key would make two (its equal range).
  static void Drop(View& v, int key, StoredAlarm* a) {
    auto it = Locate(v, key, a);
    if (it != v.end()) v.erase(it);
  }

  // Makes room in the tables, so that indexing one more alarm fails, if at
  // all, before anything changed.
  void ReserveOne() {
    byBlock.Reserve();
    byPhysical.Reserve();
    byTag.Reserve();
  }

  // Puts `a` in the physical node and tag lookups, and the block lookup too
  // when `block`. REQUIRES: ReserveOne() since the last Index.
  void IndexLookups(StoredAlarm* a, bool block) {
    const _ALMPAK& p = a->msg.almpak;
    a->nodeKey = a->physicalKey = 0;
    detail::PackName(FieldText(p.node), true, &a->nodeKey);
    detail::PackName(FieldText(p.physicalNode), true, &a->physicalKey);
    if (block) byBlock.Insert(a, detail::BlockHash(a->nodeKey, p.vsp.blockType, p.vsp.blockNumber));
    byPhysical.Insert(a, detail::BlockHash(a->physicalKey, p.vsp.blockType, p.vsp.blockNumber));
    byTag.Insert(a, detail::TagHash(a->nodeKey, FieldText(p.tagName)));
  }

  // REQUIRES: ReserveOne() since the last Index.
  void Index(StoredAlarm* a) {
    if (!IsOperatorMessage(*a)) IndexLookups(a, true);
    if (!a->suppressed) {
      for (int k = 0; k < kSortKeys; ++k) {
        if (View* v = views[static_cast<std::size_t>(k)].get()) Put(*v, k, a);
      }
    }
  }

  // REQUIRES: `a` unchanged since it was indexed.
  void Unindex(StoredAlarm* a) {
    if (!IsOperatorMessage(*a)) {
      byBlock.Erase(a);
      byPhysical.Erase(a);
      byTag.Erase(a);
    }
    if (!a->suppressed) {
      for (int k = 0; k < kSortKeys; ++k) {
        if (View* v = views[static_cast<std::size_t>(k)].get()) Drop(*v, k, a);
      }
    }
  }

  // Changes an alarm in place; cursors on it follow it to its new place.
  template <class F>
  void Modify(StoredAlarm* a, F&& change) {
    ReserveOne();
    Unindex(a);
    std::optional<SUMQMSG> before;
    bool wasSuppressed = a->suppressed;
    if (Telling()) before = a->msg;
    change(*a);
    Index(a);
    Changed(a->id);
    if (Telling()) Tell(Event{&*before, &a->msg, a->timeIn, wasSuppressed, a->suppressed});
  }

  // Changes fields of a visible or shelved alarm that only the sort keys in
  // `keys` (bit per key) read: the block and tag indexes and every other
  // view keep it where it is. Acknowledging moves it in key 8 alone.
  template <class F>
  void ModifyOrdered(StoredAlarm* a, unsigned int keys, F&& change) {
    std::array<View*, kSortKeys> touched{};
    for (int k = 0; k < kSortKeys; ++k) {
      View* v = views[static_cast<std::size_t>(k)].get();
      if (v && (keys & (1u << k)) && !a->suppressed) {
        Drop(*v, k, a);
        touched[static_cast<std::size_t>(k)] = v;
      }
    }
    std::optional<SUMQMSG> before;
    if (Telling()) before = a->msg;
    change(*a);
    for (int k = 0; k < kSortKeys; ++k) {
      if (View* v = touched[static_cast<std::size_t>(k)]) Put(*v, k, a);
    }
    Changed(a->id);
    if (Telling()) Tell(Event{&*before, &a->msg, a->timeIn, a->suppressed, a->suppressed});
  }

  // Moves every cursor on `a` to the next alarm in that cursor's order.
  // REQUIRES: `a` still indexed and visible.
  void MoveCursorsOff(StoredAlarm* a) {
    for (auto& [h, c] : clients) {
      if (c.state != CursorState::kOn || c.alarm != a) continue;
      View& v = EnsureView(c.key);
      auto it = Locate(v, c.key, a);
      StoredAlarm* next = nullptr;
      if (it != v.end()) {
        if (c.descending) {
          if (it != v.begin()) next = std::prev(it)->alarm;
        } else if (std::next(it) != v.end()) {
          next = std::next(it)->alarm;
        }
      }
      c.alarm = next;
      c.state = next ? CursorState::kOn : CursorState::kPastEnd;
    }
  }

  void Remove(StoredAlarm* a) {
    if (!a->suppressed) MoveCursorsOff(a);
    Unindex(a);
    uint64_t id = a->id;
    if (Telling()) Tell(Event{&a->msg, nullptr, a->timeIn, a->suppressed, a->suppressed});
    alarms.Remove(id);
    pool.Free(a);
    Changed(id);
  }

  // Leaves the alarms' memory to the caller: see Restore.
  void RemoveEverything() {
    alarms.Clear();
    for (auto& v : views) v.reset();
    byBlock.Clear();
    byPhysical.Clear();
    byTag.Clear();
    for (auto& [h, c] : clients) c = Cursor{};
  }

  // Takes in an alarm of `pool`; on failure gives it back and throws.
  // `tell`: a new alarm, not one loaded.
  StoredAlarm* Insert(StoredAlarm* a, bool tell = true) {
    try {
      alarms.Reserve(1);
      ReserveOne();
    } catch (...) {
      pool.Free(a);
      throw;
    }
    a->id = nextId++;
    alarms.Add(a);
    Index(a);
    Changed(a->id);
    if (tell && Telling()) Tell(Event{nullptr, &a->msg, a->timeIn, a->suppressed, a->suppressed});
    return a;
  }

  // --- lookups ---

  NodeKeys KeysOf(std::string_view node) const {
    NodeKeys out;
    auto is = [&](const std::string& n) {
      return !n.empty() && detail::CompareNoCase(n, node) == 0;
    };
    if (is(names.name) || is(names.alias1) || is(names.alias2)) {
      for (const std::string* n : {&names.name, &names.alias1, &names.alias2}) {
        if (!n->empty()) out.Add(*n);
      }
    } else {
      out.Add(node);
    }
    return out;
  }

  // The oldest alarm of a block, or null.
  StoredAlarm* FindBlock(std::string_view node, char letter, int16_t number, bool visibleOnly) {
    StoredAlarm* best = nullptr;
    for (uint64_t k : KeysOf(node)) {
      byBlock.ForEach(detail::BlockHash(k, letter, number), [&](StoredAlarm* a) {
        const VSP& b = a->msg.almpak.vsp;
        if (a->nodeKey != k || b.blockType != letter || b.blockNumber != number) return;
        if (visibleOnly && a->suppressed) return;
        if (!best || a->id < best->id) best = a;
      });
    }
    return best;
  }

  StoredAlarm* FindTag(std::string_view node, std::string_view tag) {
    StoredAlarm* best = nullptr;
    for (uint64_t k : KeysOf(node)) {
      byTag.ForEach(detail::TagHash(k, tag), [&](StoredAlarm* a) {
        if (a->nodeKey != k || detail::CompareNoCase(FieldText(a->msg.almpak.tagName), tag) != 0)
          return;
        if (!best || a->id < best->id) best = a;
      });
    }
    return best;
  }

  // The alarm of the block under that physical node that comes first in
  // `order`; visible alarms before shelved ones.
  StoredAlarm* FindPhysical(std::string_view physical, char letter, int16_t number, Order order) {
    StoredAlarm* best = nullptr;
    auto better = [&](StoredAlarm* a) {
      if (!best) return true;
      if (a->suppressed != best->suppressed) return !a->suppressed;
      return order.descending ? detail::Before(order.key, *best, *a)
                              : detail::Before(order.key, *a, *best);
    };
    for (uint64_t k : KeysOf(physical)) {
      byPhysical.ForEach(detail::BlockHash(k, letter, number), [&](StoredAlarm* a) {
        const VSP& b = a->msg.almpak.vsp;
        if (a->physicalKey != k || b.blockType != letter || b.blockNumber != number) return;
        if (better(a)) best = a;
      });
    }
    return best;
  }

  // --- cursors ---

  Cursor* Client(unsigned short handle) {
    auto it = clients.find(handle);
    return it == clients.end() ? nullptr : &it->second;
  }

  static StoredAlarm* First(View& v, bool descending) {
    if (v.empty()) return nullptr;
    return descending ? v.rbegin()->alarm : v.begin()->alarm;
  }

  // The alarm the cursor stands on, seen in view `v` of `order`; null when
  // it stands on none.
  StoredAlarm* Resolve(const Cursor& c, View& v, Order order) {
    switch (c.state) {
      case CursorState::kHome:
        return First(v, order.descending);
      case CursorState::kEnd:
        return First(v, !order.descending);
      case CursorState::kOn:
        return c.alarm;
      case CursorState::kPastEnd:
        return nullptr;
    }
    return nullptr;
  }

  // `count` alarms from `from` in `order` (forward or back); null when that
  // runs off the view.
  static StoredAlarm* Step(View& v, StoredAlarm* from, long count, bool forward, Order order) {
    auto it = Locate(v, order.key, from);
    if (it == v.end()) return nullptr;
    bool up = forward != order.descending;  // towards the index's end
    for (long i = 0; i < count; ++i) {
      if (up) {
        ++it;
        if (it == v.end()) return nullptr;
      } else {
        if (it == v.begin()) return nullptr;
        --it;
      }
    }
    return it->alarm;
  }

  short Move(const SORT_CNTL& sort, int count, unsigned short handle, bool forward) {
    std::lock_guard lock(m);
    Cursor* c = Client(handle);
    if (!c) return kQueueNoHandle;
    if (count < 0) return kQueueBadArgument;
    Order order = OrderOf(sort);
    View& v = EnsureView(order.key);
    StoredAlarm* at = Resolve(*c, v, order);
    if (!at) return kQueueNotOnAlarm;
    StoredAlarm* to = Step(v, at, count, forward, order);
    if (!to) return kQueueNotOnAlarm;
    *c = Cursor{CursorState::kOn, to, order.key, order.descending};
    return 0;
  }

  // The alarms Get lists: up to `count` (0: kMaxListLength) from the cursor
  // on, in the view's order. `begin(room)` is told the most there can be
  // (false: no memory); `each(alarm, next)` gets them in order, with the one
  // after (null at the last). REQUIRES: the lock is held.
  template <class Begin, class Each>
  short WalkPage(const SORT_CNTL& sort, unsigned short count, unsigned short handle, Begin&& begin,
                 Each&& each) {
    Cursor* c = Client(handle);
    if (!c) return kQueueNoHandle;
    Order order = OrderOf(sort);
    View& v = EnsureView(order.key);
    StoredAlarm* start = Resolve(*c, v, order);
    if (!start) return 0;
    auto it = Locate(v, order.key, start);
    if (it == v.end()) return 0;
    const std::size_t want = count == 0 ? kMaxListLength : count;
    const std::size_t room = std::min(want, v.size());
    if (!begin(room)) return kQueueNoMemory;
    std::size_t got = 0;
    if (order.descending) {
      for (;;) {
        const StoredAlarm* a = it->alarm;
        bool last = ++got == room || it == v.begin();
        each(a, last ? nullptr : std::prev(it)->alarm);
        if (last) break;
        --it;
      }
    } else {
      for (; it != v.end() && got < room; ++it) {
        auto next = std::next(it);
        ++got;
        each(it->alarm, next != v.end() && got < room ? next->alarm : nullptr);
      }
    }
    return 0;
  }

  short Position(const SORT_CNTL& sort, unsigned short handle, bool home) {
    std::lock_guard lock(m);
    Cursor* c = Client(handle);
    if (!c) return kQueueNoHandle;
    Order order = OrderOf(sort);
    View& v = EnsureView(order.key);
    StoredAlarm* a = First(v, home ? order.descending : !order.descending);
    if (a) {
      *c = Cursor{CursorState::kOn, a, order.key, order.descending};
    } else {
      *c = Cursor{home ? CursorState::kHome : CursorState::kEnd, nullptr, order.key,
                  order.descending};
    }
    return 0;
  }
};

SummaryQueue::SummaryQueue() : impl_(std::make_unique<Impl>()) {}
SummaryQueue::~SummaryQueue() = default;

// --- host API ---

void SummaryQueue::SetLocalNames(const LocalNames& names) {
  std::lock_guard lock(impl_->m);
  impl_->names = names;
}

LocalNames SummaryQueue::GetLocalNames() const {
  std::lock_guard lock(impl_->m);
  return impl_->names;
}

void SummaryQueue::Raise(const AlarmInput& alarm, Clock::time_point when) {
  std::lock_guard lock(impl_->m);
  Impl& q = *impl_;
  StoredAlarm* standing = alarm.msgType == 8 ? nullptr
                                             : q.FindBlock(HostNode(alarm.node), alarm.blockLetter,
                                                           alarm.blockNumber, false);
  if (standing) {
    // Its block stays: the block index and the views of keys 0, 6 and 12
    // keep it where it is; its physical node and tag may change.
    q.ReserveOne();
    q.ModifyOrdered(standing, kRaiseKeys, [&](StoredAlarm& a) {
      q.byPhysical.Erase(&a);
      q.byTag.Erase(&a);
      detail::ApplyRaise(a.msg, alarm);
      a.timeLast = when;
      detail::StampTimes(a.msg, a.timeIn, a.timeLast);
      q.IndexLookups(&a, false);
    });
  } else {
    StoredAlarm* a = q.pool.New();
    a->msg = detail::BuildMessage(alarm);
    a->timeIn = a->timeLast = when;
    detail::StampTimes(a->msg, when, when);
    q.Insert(a);
  }
  q.hornSilenced = false;
  q.Bump();
}

bool SummaryQueue::Update(const std::string& node, char letter, int16_t number, int32_t statusCode,
                          const _AlmCanonicalValue& value, Clock::time_point when) {
  return GuardedBool([&]() -> bool {
    std::lock_guard lock(impl_->m);
    Impl& q = *impl_;
    StoredAlarm* a = q.FindBlock(HostNode(node), letter, number, false);
    if (!a) return false;
    q.ModifyOrdered(a, kUpdateKeys, [&](StoredAlarm& s) {
      s.msg.almpak.statusCode = statusCode;
      s.msg.almpak.value = value;
      s.msg.almpak.value.text[sizeof s.msg.almpak.value.text - 1] = '\0';
      s.timeLast = when;
      detail::StampTimes(s.msg, s.timeIn, s.timeLast);
    });
    q.Bump();
    return true;
  });
}

bool SummaryQueue::Clear(const std::string& node, char letter, int16_t number) {
  return GuardedBool([&]() -> bool {
    std::lock_guard lock(impl_->m);
    StoredAlarm* a = impl_->FindBlock(HostNode(node), letter, number, false);
    if (!a) return false;
    impl_->Remove(a);
    impl_->Bump();
    return true;
  });
}

bool SummaryQueue::Acknowledge(const std::string& node, char letter, int16_t number) {
  return GuardedBool([&]() -> bool {
    std::lock_guard lock(impl_->m);
    StoredAlarm* a = impl_->FindBlock(HostNode(node), letter, number, false);
    if (!a) return false;
    if (a->msg.ackFlag == 0) {
      impl_->ModifyOrdered(a, kAckKeys, [](StoredAlarm& s) { s.msg.ackFlag = 1; });
      impl_->Bump();
    }
    return true;
  });
}

void SummaryQueue::AddOperatorMessage(const std::string& text, const std::string& node,
                                      Clock::time_point when) {
  AlarmInput input;
  input.node = input.physicalNode = node;
  input.blockLetter = '\0';
  input.blockNumber = 0;
  input.priority = 9;
  input.msgType = 8;
  input.statusCode = -1;
  input.description = text;
  input.acknowledged = true;  // nothing to acknowledge in a database
  std::lock_guard lock(impl_->m);
  StoredAlarm* a = impl_->pool.New();
  a->msg = detail::BuildMessage(input);
  a->timeIn = a->timeLast = when;
  detail::StampTimes(a->msg, when, when);
  impl_->Insert(a);
  impl_->Bump();
}

bool SummaryQueue::SetSuppressed(const std::string& node, char letter, int16_t number,
                                 bool suppressed) {
  return GuardedBool([&]() -> bool {
    std::lock_guard lock(impl_->m);
    Impl& q = *impl_;
    StoredAlarm* a = q.FindBlock(HostNode(node), letter, number, false);
    if (!a) return false;
    if (a->suppressed == suppressed) return true;
    if (suppressed) q.MoveCursorsOff(a);
    q.Modify(a, [&](StoredAlarm& s) { s.suppressed = suppressed; });
    q.Bump();
    return true;
  });
}

std::vector<SUMQMSG> SummaryQueue::Snapshot() const {
  std::lock_guard lock(impl_->m);
  std::vector<SUMQMSG> out;
  std::vector<ViewEntry> all = impl_->Sorted(0, true);
  out.reserve(all.size());
  for (const ViewEntry& e : all) out.push_back(e.alarm->msg);
  return out;
}

std::vector<Clock::time_point> SummaryQueue::SnapshotTimesIn() const {
  std::lock_guard lock(impl_->m);
  std::vector<Clock::time_point> out;
  for (const ViewEntry& e : impl_->Sorted(0, true)) out.push_back(e.alarm->timeIn);
  return out;
}

std::vector<Clock::time_point> SummaryQueue::SnapshotTimesLast() const {
  std::lock_guard lock(impl_->m);
  std::vector<Clock::time_point> out;
  for (const ViewEntry& e : impl_->Sorted(0, true)) out.push_back(e.alarm->timeLast);
  return out;
}

void SummaryQueue::Restore(const std::vector<SUMQMSG>& messages,
                           const std::vector<Clock::time_point>& timesIn,
                           const std::vector<Clock::time_point>& timesLast) {
  Clock::time_point now = Clock::now();
  // Built in a pool of their own outside the lock; the old pool goes after it.
  detail::AlarmPool fresh;
  std::vector<StoredAlarm*> loaded;
  loaded.reserve(messages.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    StoredAlarm* a = fresh.New();
    a->msg = messages[i];
    detail::Sanitize(a->msg);
    const SUMQMSG& m = a->msg;
    if (i < timesIn.size()) {
      a->timeIn = timesIn[i];
    } else {
      a->timeIn =
          detail::ParseDateTime(m.dateIn, sizeof m.dateIn, m.timeIn, sizeof m.timeIn).value_or(now);
    }
    if (i < timesLast.size()) {
      a->timeLast = timesLast[i];
    } else {
      a->timeLast =
          detail::ParseDateTime(m.dateLast, sizeof m.dateLast, m.timeLast, sizeof m.timeLast)
              .value_or(a->timeIn);
    }
    // Texts follow the time points when a saved message came without them.
    if (m.dateIn[0] == '\0' || m.timeIn[0] == '\0' || m.dateLast[0] == '\0' ||
        m.timeLast[0] == '\0') {
      detail::StampTimes(a->msg, a->timeIn, a->timeLast);
    }
    loaded.push_back(a);
  }
  std::lock_guard lock(impl_->m);
  ChangeListener listener = std::move(impl_->listener);
  impl_->listener = nullptr;
  impl_->RemoveEverything();
  std::swap(impl_->pool, fresh);
  impl_->alarms.Reserve(loaded.size());
  for (StoredAlarm* a : loaded) impl_->Insert(a, false);
  impl_->listener = std::move(listener);
  impl_->Bump();
}

void SummaryQueue::SetChangeListener(ChangeListener listener) {
  std::lock_guard lock(impl_->m);
  impl_->listener = std::move(listener);
}

SummaryQueue::ListenerToken SummaryQueue::AddEventListener(EventListener listener) {
  std::lock_guard lock(impl_->m);
  const ListenerToken token = impl_->nextListener++;
  if (listener) impl_->events.emplace_back(token, std::move(listener));
  return token;
}

void SummaryQueue::RemoveEventListener(ListenerToken token) {
  std::lock_guard lock(impl_->m);
  std::erase_if(impl_->events, [token](const auto& e) { return e.first == token; });
}

void SummaryQueue::Tally(const std::function<void(const SUMQMSG&, bool)>& fn) const {
  std::lock_guard lock(impl_->m);
  impl_->alarms.ForEach([&](StoredAlarm* a) { fn(a->msg, a->suppressed); });
}

SummaryQueue::ChangeListener SummaryQueue::CurrentChangeListener() const {
  std::lock_guard lock(impl_->m);
  return impl_->listener;
}

bool SummaryQueue::Inspect(uint64_t id, HeldAlarm* out) const {
  return GuardedBool([&]() -> bool {
    std::lock_guard lock(impl_->m);
    const StoredAlarm* found = impl_->alarms.Find(id);
    if (!found) return false;
    const StoredAlarm& a = *found;
    out->id = a.id;
    out->msg = a.msg;
    out->timeIn = a.timeIn;
    out->timeLast = a.timeLast;
    out->suppressed = a.suppressed;
    return true;
  });
}

uint64_t SummaryQueue::Append(const AlarmInput& alarm, Clock::time_point timeIn,
                              Clock::time_point timeLast, bool suppressed) {
  try {
    SUMQMSG msg = detail::BuildMessage(alarm);
    detail::StampTimes(msg, timeIn, timeLast);
    std::lock_guard lock(impl_->m);
    StoredAlarm* a = impl_->pool.New();
    a->msg = msg;
    a->timeIn = timeIn;
    a->timeLast = timeLast;
    a->suppressed = suppressed;
    uint64_t id = impl_->Insert(a, false)->id;
    impl_->Bump();
    return id;
  } catch (...) {
    return 0;
  }
}

bool SummaryQueue::Put(const SUMQMSG& msg, Clock::time_point timeIn, Clock::time_point timeLast,
                       bool suppressed) {
  return GuardedBool([&]() -> bool {
    SUMQMSG incoming = msg;
    detail::Sanitize(incoming);
    const _ALMPAK& p = incoming.almpak;
    std::lock_guard lock(impl_->m);
    Impl& q = *impl_;
    StoredAlarm* a = q.FindBlock(FieldText(p.node), p.vsp.blockType, p.vsp.blockNumber, false);
    bool sound = incoming.ackFlag == 0;
    if (a) {
      if (std::memcmp(&a->msg, &incoming, sizeof(SUMQMSG)) == 0 && a->timeIn == timeIn &&
          a->timeLast == timeLast && a->suppressed == suppressed) {
        return true;
      }
      sound = sound && (a->msg.ackFlag != 0 || a->timeLast != timeLast);
      if (suppressed && !a->suppressed) q.MoveCursorsOff(a);
      q.Modify(a, [&](StoredAlarm& s) {
        s.msg = incoming;
        s.timeIn = timeIn;
        s.timeLast = timeLast;
        s.suppressed = suppressed;
      });
    } else {
      StoredAlarm* fresh = q.pool.New();
      fresh->msg = incoming;
      fresh->timeIn = timeIn;
      fresh->timeLast = timeLast;
      fresh->suppressed = suppressed;
      q.Insert(fresh);
    }
    if (sound) q.hornSilenced = false;
    q.Bump();
    return true;
  });
}

uint64_t SummaryQueue::IdOf(const std::string& node, char letter, int16_t number) const {
  try {
    std::lock_guard lock(impl_->m);
    StoredAlarm* a = impl_->FindBlock(HostNode(node), letter, number, false);
    return a ? a->id : 0;
  } catch (...) {
    return 0;
  }
}

std::size_t SummaryQueue::Size() const {
  std::lock_guard lock(impl_->m);
  return impl_->alarms.size();
}

int32_t SummaryQueue::SequenceNumber() const {
  std::lock_guard lock(impl_->m);
  return static_cast<int32_t>(impl_->sequence);
}

bool SummaryQueue::HornEnabled() const {
  std::lock_guard lock(impl_->m);
  return impl_->hornEnabled;
}

bool SummaryQueue::HornSilenced() const {
  std::lock_guard lock(impl_->m);
  return impl_->hornSilenced;
}

std::size_t SummaryQueue::OpenHandles() const {
  std::lock_guard lock(impl_->m);
  return impl_->clients.size();
}

// --- QueueBackend ---

short SummaryQueue::Open(unsigned short* handle, unsigned char* flag) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqOpen")) return s;
    if (!handle) return kQueueBadArgument;
    std::lock_guard lock(impl_->m);
    Impl& q = *impl_;
    if (q.clients.size() >= kMaxClients) return kQueueTooManyClients;
    // Handles run through 1..32767 before any comes back, so a stale handle
    // rarely names a new client; 32 means "no handle" to every caller.
    for (;;) {
      unsigned short h = q.nextHandle;
      q.nextHandle = h >= 32767 ? 1 : static_cast<unsigned short>(h + 1);
      if (h == 32 || q.clients.count(h)) continue;
      q.clients.emplace(h, Cursor{});
      *handle = h;
      break;
    }
    if (flag) *flag = 0;
    return 0;
  });
}

short SummaryQueue::Close(unsigned short handle) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqClose")) return s;
    std::lock_guard lock(impl_->m);
    return impl_->clients.erase(handle) ? 0 : kQueueNoHandle;
  });
}

short SummaryQueue::HornEnable() {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqHornEnable")) return s;
    std::lock_guard lock(impl_->m);
    impl_->hornEnabled = true;
    return 0;
  });
}

short SummaryQueue::HornDisable() {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqHornDisable")) return s;
    std::lock_guard lock(impl_->m);
    impl_->hornEnabled = false;
    return 0;
  });
}

short SummaryQueue::HornSquelch() {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqHornSquelch")) return s;
    std::lock_guard lock(impl_->m);
    impl_->hornSilenced = true;
    return 0;
  });
}

short SummaryQueue::GetHeader(SUMQHDR* hdr) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqGethdr")) return s;
    if (!hdr) return kQueueBadArgument;
    std::lock_guard lock(impl_->m);
    std::memset(hdr, 0, sizeof *hdr);
    hdr->hornEnabled = impl_->hornEnabled ? 1 : 0;
    hdr->totalAlarms = static_cast<int32_t>(impl_->alarms.size());
    hdr->sequenceNumber = static_cast<int32_t>(impl_->sequence);
    return 0;
  });
}

short SummaryQueue::Home(const SORT_CNTL& sort, unsigned short handle) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqHome")) return s;
    return impl_->Position(sort, handle, true);
  });
}

short SummaryQueue::End(const SORT_CNTL& sort, unsigned short handle) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqEnd")) return s;
    return impl_->Position(sort, handle, false);
  });
}

short SummaryQueue::NextPage(const SORT_CNTL& sort, int count, unsigned short handle) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqNextp")) return s;
    return impl_->Move(sort, count, handle, true);
  });
}

short SummaryQueue::PrevPage(const SORT_CNTL& sort, int count, unsigned short handle) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqPrevp")) return s;
    return impl_->Move(sort, count, handle, false);
  });
}

short SummaryQueue::Get(const SORT_CNTL& sort, unsigned short count, unsigned short handle,
                        SUMQMSG** list, unsigned short* n) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqGet")) return s;
    if (!list || !n) return kQueueBadArgument;
    *list = nullptr;
    *n = 0;
    std::lock_guard lock(impl_->m);
    Impl& q = *impl_;
    SUMQMSG* out = nullptr;
    std::size_t got = 0;
    // Copy straight from the view, fetching the next record while one is
    // copied: the records are scattered on the heap and this copy is most of
    // the cost of a large page.
    short status = q.WalkPage(
        sort, count, handle,
        [&](std::size_t room) {
          out = q.lists.Take(room);
          return out != nullptr;
        },
        [&](const StoredAlarm* a, const StoredAlarm* next) {
          if (next) {
            const char* p = reinterpret_cast<const char*>(&next->msg);
            for (std::size_t off = 0; off < sizeof(SUMQMSG); off += 256)
              __builtin_prefetch(p + off);
          }
          std::memcpy(&out[got++], &a->msg, sizeof(SUMQMSG));
        });
    if (status != 0 || !out) return status;
    *list = out;
    *n = static_cast<unsigned short>(got);
    return 0;
  });
}

short SummaryQueue::Visit(const SORT_CNTL& sort, unsigned short count, unsigned short handle,
                          QueueRecordVisitor& visitor) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqGet")) return s;
    std::lock_guard lock(impl_->m);
    Impl& q = *impl_;
    std::vector<const SUMQMSG*>& records = q.visitBuffer;
    records.clear();
    short status = q.WalkPage(
        sort, count, handle,
        [&](std::size_t room) {
          records.reserve(room);
          return true;
        },
        [&](const StoredAlarm* a, const StoredAlarm*) { records.push_back(&a->msg); });
    if (status != 0) return status;
    visitor.Visit(records.data(), static_cast<unsigned short>(records.size()));
    return 0;
  });
}

namespace {

constexpr unsigned char kPlaceVersion = 1;
constexpr std::size_t kPlaceHeader = 2 + 3 * 8;

void PutU64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint64_t GetU64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

int64_t Nanos(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

Clock::time_point FromNanos(int64_t n) {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(n)));
}

// Version, key, id, times, then the message as (zero run, literal length,
// literal) chunks: a record is mostly padding.
std::string SavePlace(int key, const StoredAlarm& a) {
  std::string out;
  out.reserve(512);
  out += static_cast<char>(kPlaceVersion);
  out += static_cast<char>(key);
  PutU64(out, a.id);
  PutU64(out, static_cast<uint64_t>(Nanos(a.timeIn)));
  PutU64(out, static_cast<uint64_t>(Nanos(a.timeLast)));
  const auto* p = reinterpret_cast<const unsigned char*>(&a.msg);
  const std::size_t n = sizeof(SUMQMSG);
  for (std::size_t i = 0; i < n;) {
    std::size_t zeros = 0;
    while (i + zeros < n && p[i + zeros] == 0) ++zeros;
    std::size_t start = i + zeros, lit = 0;
    while (start + lit < n && !(p[start + lit] == 0 && start + lit + 1 < n &&
                                p[start + lit + 1] == 0)) {
      ++lit;
    }
    for (std::size_t v : {zeros, lit}) {
      out += static_cast<char>(v & 0xFF);
      out += static_cast<char>((v >> 8) & 0xFF);
    }
    out.append(reinterpret_cast<const char*>(p + start), lit);
    i = start + lit;
  }
  return out;
}

// The record a saved place stands for, as far as ordering reads it; false
// when the bytes are not a place of `key`.
bool LoadPlace(const std::string& place, int key, StoredAlarm* a) {
  const auto* b = reinterpret_cast<const unsigned char*>(place.data());
  if (place.size() < kPlaceHeader || b[0] != kPlaceVersion || b[1] != key) return false;
  a->id = GetU64(b + 2);
  a->timeIn = FromNanos(static_cast<int64_t>(GetU64(b + 10)));
  a->timeLast = FromNanos(static_cast<int64_t>(GetU64(b + 18)));
  auto* out = reinterpret_cast<unsigned char*>(&a->msg);
  std::memset(out, 0, sizeof(SUMQMSG));
  std::size_t at = 0;
  for (std::size_t pos = kPlaceHeader; pos < place.size();) {
    if (place.size() - pos < 4) return false;
    std::size_t zeros = b[pos] | (b[pos + 1] << 8);
    std::size_t lit = b[pos + 2] | (b[pos + 3] << 8);
    pos += 4;
    if (lit > place.size() - pos || zeros + lit > sizeof(SUMQMSG) - at) return false;
    at += zeros;
    std::memcpy(out + at, b + pos, lit);
    at += lit;
    pos += lit;
  }
  return at == sizeof(SUMQMSG);
}

struct WalkPlace final : QueueViewPlace {
  int key = 0;
  const StoredAlarm* alarm = nullptr;
  std::string Save() const override { return SavePlace(key, *alarm); }
};

}  // namespace

short SummaryQueue::Walk(const SORT_CNTL& sort, const std::string& after, bool backward,
                         QueueViewWalker& walker) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqGet")) return s;
    Order order = OrderOf(sort);
    StoredAlarm from;
    if (!after.empty() && !LoadPlace(after, order.key, &from)) return kQueueBadPlace;
    std::lock_guard lock(impl_->m);
    View& v = impl_->EnsureView(order.key);
    WalkPlace place;
    place.key = order.key;
    // Towards the index's end: ascending forward, or descending backward.
    const bool up = backward == order.descending;
    auto visit = [&](const StoredAlarm* a) {
      place.alarm = a;
      return walker.Record(a->msg, place);
    };
    if (up) {
      auto it = after.empty() ? v.begin() : v.upper_bound(EntryOf(order.key, &from));
      for (; it != v.end(); ++it) {
        if (!visit(it->alarm)) break;
      }
    } else {
      auto it = after.empty() ? v.end() : v.lower_bound(EntryOf(order.key, &from));
      while (it != v.begin()) {
        --it;
        if (!visit(it->alarm)) break;
      }
    }
    return 0;
  });
}

short SummaryQueue::WalkShelved(QueueViewWalker& walker) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqGet")) return s;
    std::lock_guard lock(impl_->m);
    WalkPlace place;
    bool going = true;
    impl_->alarms.ForEach([&](StoredAlarm* a) {
      if (!going || !a->suppressed) return;
      place.alarm = a;
      going = walker.Record(a->msg, place);
    });
    return 0;
  });
}

void SummaryQueue::FreeList(SUMQMSG* list) {
  impl_->lists.Give(list);
}

short SummaryQueue::Find(short number, char letter, const char* node, SUMQMSG* msg) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqFind")) return s;
    if (!node || !msg) return kQueueBadArgument;
    std::lock_guard lock(impl_->m);
    StoredAlarm* a = impl_->FindBlock(node, letter, number, false);
    if (!a) return kQueueNoAlarm;
    std::memcpy(msg, &a->msg, sizeof *msg);
    return 0;
  });
}

short SummaryQueue::FindVisible(short number, char letter, const char* node, SUMQMSG* msg) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqFindVisibleAlarm")) return s;
    if (!node || !msg) return kQueueBadArgument;
    std::lock_guard lock(impl_->m);
    StoredAlarm* a = impl_->FindBlock(node, letter, number, true);
    if (!a) return kQueueNoAlarm;
    std::memcpy(msg, &a->msg, sizeof *msg);
    return 0;
  });
}

short SummaryQueue::FindByTagname(const char* node, const char* tag, SUMQMSG* msg) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqFindByTagname")) return s;
    if (!node || !tag || !msg) return kQueueBadArgument;
    std::lock_guard lock(impl_->m);
    StoredAlarm* a = impl_->FindTag(node, tag);
    if (!a) return kQueueNoAlarm;
    std::memcpy(msg, &a->msg, sizeof *msg);
    return 0;
  });
}

short SummaryQueue::MarkAcknowledged(short number, char letter, const char* node,
                                     unsigned short handle) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("sumqMarkAsAcknowledged")) return s;
    if (!node) return kQueueBadArgument;
    std::lock_guard lock(impl_->m);
    Impl& q = *impl_;
    if (!q.Client(handle)) return kQueueNoHandle;
    StoredAlarm* a = q.FindBlock(node, letter, number, false);
    if (!a) return kQueueNoAlarm;
    if (a->msg.ackFlag == 0) {
      q.ModifyOrdered(a, kAckKeys, [](StoredAlarm& s) { s.msg.ackFlag = 1; });
      q.Bump();
    }
    return 0;
  });
}

short SummaryQueue::DeleteByPhysicalNode(const SORT_CNTL& sort, short number, char letter,
                                         const char* physicalNode, unsigned short handle) {
  return Guarded([&]() -> short {
    if (short s = faults_.Check("SumqDeleteAlarmByPhysicalNodeName")) return s;
    if (!physicalNode) return kQueueBadArgument;
    std::lock_guard lock(impl_->m);
    Impl& q = *impl_;
    if (!q.Client(handle)) return kQueueNoHandle;
    StoredAlarm* a = q.FindPhysical(physicalNode, letter, number, OrderOf(sort));
    if (!a) return kQueueNoAlarm;
    q.Remove(a);
    q.Bump();
    return 0;
  });
}

}  // namespace tolvane::node
