#include "node/summary_queue_store.h"

#include <algorithm>
#include <new>

namespace tolvane::node::detail {
namespace {

uint64_t Mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

}  // namespace

StoredAlarm* AlarmPool::New() {
  StoredAlarm* place;
  if (!free_.empty()) {
    place = free_.back();
    free_.pop_back();
  } else {
    if (usedInLast_ == kBlock) {
      // Room in the free list for every alarm there will be, so Free cannot fail.
      Reserve(free_, (blocks_.size() + 1) * kBlock - free_.size());
      Reserve(blocks_, 1);
      blocks_.emplace_back(static_cast<StoredAlarm*>(::operator new(kBlock * sizeof(StoredAlarm))));
      usedInLast_ = 0;
    }
    place = blocks_.back().get() + usedInLast_++;
  }
  return new (place) StoredAlarm();
}

// Ids are appended in order and holes are few, so an id's slot is nearly
// where its distance from the ends says: a few guesses instead of a binary
// search through a table that no longer fits the cache.
std::size_t IdTable::SlotOf(uint64_t id) const {
  std::size_t lo = 0, hi = slots_.size();  // the slot is in [lo, hi) if anywhere
  for (int guesses = 0; hi - lo > 8 && guesses < 4; ++guesses) {
    uint64_t first = slots_[lo].id, last = slots_[hi - 1].id;
    if (id < first || id > last) return slots_.size();
    auto at = lo + static_cast<std::size_t>(static_cast<double>(id - first) /
                                            static_cast<double>(last - first + 1) *
                                            static_cast<double>(hi - lo));
    if (at >= hi) at = hi - 1;
    if (slots_[at].id == id) return at;
    if (slots_[at].id < id) {
      lo = at + 1;
    } else {
      hi = at;
    }
  }
  auto it = std::lower_bound(slots_.begin() + static_cast<std::ptrdiff_t>(lo),
                             slots_.begin() + static_cast<std::ptrdiff_t>(hi), id,
                             [](const Slot& s, uint64_t v) { return s.id < v; });
  return it != slots_.end() && it->id == id ? static_cast<std::size_t>(it - slots_.begin())
                                            : slots_.size();
}

StoredAlarm* IdTable::Find(uint64_t id) const {
  std::size_t at = SlotOf(id);
  return at < slots_.size() ? slots_[at].alarm : nullptr;
}

void IdTable::Remove(uint64_t id) {
  std::size_t at = SlotOf(id);
  if (at == slots_.size() || !slots_[at].alarm) return;
  slots_[at].alarm = nullptr;
  --live_;
  if (slots_.size() >= 64 && live_ < slots_.size() / 2) {
    slots_.erase(
        std::remove_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.alarm; }),
        slots_.end());
  }
}

void LookupIndex::Erase(StoredAlarm* a) {
  StoredAlarm** link = &buckets_[a->hash[which_] & (buckets_.size() - 1)];
  while (*link && *link != a) link = &(*link)->next[which_];
  if (!*link) return;
  *link = a->next[which_];
  a->next[which_] = nullptr;
  --count_;
}

void LookupIndex::Rehash(std::size_t buckets) {
  std::vector<StoredAlarm*> fresh(buckets, nullptr);
  for (StoredAlarm* head : buckets_) {
    while (head) {
      StoredAlarm* next = head->next[which_];
      StoredAlarm*& slot = fresh[head->hash[which_] & (buckets - 1)];
      head->next[which_] = slot;
      slot = head;
      head = next;
    }
  }
  buckets_ = std::move(fresh);
}

uint64_t BlockHash(uint64_t nodeKey, char letter, int16_t number) {
  uint64_t block = static_cast<unsigned char>(letter) << 16 | static_cast<uint16_t>(number);
  return Mix(nodeKey ^ Mix(block + 1));
}

uint64_t TagHash(uint64_t nodeKey, std::string_view tag) {
  uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a over the folded bytes
  for (char c : tag) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  }
  return Mix(nodeKey ^ h);
}

}  // namespace tolvane::node::detail
