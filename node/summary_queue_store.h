// Where the embedded summary queue keeps its alarms and finds them again:
// memory in blocks, the ids in order, and hash chains through the alarms.
// None of them allocates per alarm, so loading and tearing down a large
// queue costs a few frees, and a lookup costs the same at any size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "node/summary_queue_order.h"

namespace tolvane::node::detail {

// Room for `more` elements in `v`, growing it geometrically.
template <class T>
void Reserve(std::vector<T>& v, std::size_t more) {
  if (v.capacity() - v.size() < more) v.reserve(std::max(v.capacity() * 2, v.size() + more));
}

static_assert(std::is_trivially_destructible_v<StoredAlarm>,
              "alarm blocks are freed whole, without destroying the alarms in them");

// Alarms in blocks of kBlock; a freed alarm's place is reused by the next.
class AlarmPool {
 public:
  AlarmPool() = default;
  AlarmPool(AlarmPool&&) noexcept = default;
  AlarmPool& operator=(AlarmPool&&) noexcept = default;

  // A fresh, value-initialised alarm. Throws std::bad_alloc.
  StoredAlarm* New();
  void Free(StoredAlarm* a) { free_.push_back(a); }  // room was reserved by New

 private:
  static constexpr std::size_t kBlock = 256;
  struct Release {
    void operator()(StoredAlarm* p) const { ::operator delete(p); }
  };
  std::vector<std::unique_ptr<StoredAlarm, Release>> blocks_;
  std::size_t usedInLast_ = kBlock;
  std::vector<StoredAlarm*> free_;
};

// Every alarm by id. Ids only grow, so appending keeps the table sorted; a
// removed alarm leaves a hole until holes are half the table.
class IdTable {
 public:
  void Add(StoredAlarm* a) {
    slots_.push_back({a->id, a});
    ++live_;
  }
  StoredAlarm* Find(uint64_t id) const;
  void Remove(uint64_t id);
  void Clear() {
    slots_ = {};
    live_ = 0;
  }
  std::size_t size() const { return live_; }
  void Reserve(std::size_t more) { detail::Reserve(slots_, more); }
  // Every alarm, in id order.
  template <class F>
  void ForEach(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.alarm) f(s.alarm);
    }
  }

 private:
  struct Slot {
    uint64_t id;
    StoredAlarm* alarm;  // null: removed
  };
  std::size_t SlotOf(uint64_t id) const;  // slots_.size() when absent
  std::vector<Slot> slots_;
  std::size_t live_ = 0;
};

// A hash index whose chains run through the alarms' own `next` links.
class LookupIndex {
 public:
  explicit LookupIndex(Lookup which) : which_(which) {}
  // Makes room for one more, so that Insert cannot fail. Throws std::bad_alloc.
  void Reserve() {
    if (count_ + 1 > buckets_.size()) Rehash(buckets_.empty() ? 64 : buckets_.size() * 2);
  }
  // REQUIRES: Reserve() since the last Insert.
  void Insert(StoredAlarm* a, uint64_t hash) {
    a->hash[which_] = hash;
    StoredAlarm*& head = buckets_[hash & (buckets_.size() - 1)];
    a->next[which_] = head;
    head = a;
    ++count_;
  }
  void Erase(StoredAlarm* a);
  void Clear() {
    buckets_ = {};
    count_ = 0;
  }
  // Calls f(alarm) for every alarm of that hash (and perhaps others' names).
  template <class F>
  void ForEach(uint64_t hash, F&& f) const {
    if (buckets_.empty()) return;
    for (StoredAlarm* a = buckets_[hash & (buckets_.size() - 1)]; a; a = a->next[which_]) {
      if (a->hash[which_] == hash) f(a);
    }
  }

 private:
  void Rehash(std::size_t buckets);
  Lookup which_;
  std::vector<StoredAlarm*> buckets_;  // a power of two of them
  std::size_t count_ = 0;
};

// Hashes of the lookups, from folded names packed by PackName.
uint64_t BlockHash(uint64_t nodeKey, char letter, int16_t number);
uint64_t TagHash(uint64_t nodeKey, std::string_view tag);  // folds `tag` itself

}  // namespace tolvane::node::detail
