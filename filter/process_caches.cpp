#include "filter/process_caches.h"

#include <cstring>
#include <string>

#include "services/quinthe.h"
#include "services/resources.h"
#include "services/tessmer.h"
#include "tolvane/text_field.h"

namespace tolvane::filter {
namespace {

// Filled once on first use; concurrent first users wait for the one load.
template <class Data>
class OnceCache {
 public:
  explicit OnceCache(const Data& initial) : initial_(initial), data_(initial) {}

  template <class Load>
  const Data& Get(Load load) {
    if (!ready_.load(std::memory_order_acquire)) {
      std::lock_guard lock(m_);
      if (!ready_.load(std::memory_order_relaxed)) {
        load(data_);
        ready_.store(true, std::memory_order_release);
      }
    }
    return data_;
  }

  void Reset() {
    std::lock_guard lock(m_);
    data_ = initial_;
    ready_.store(false, std::memory_order_release);
  }

 private:
  const Data initial_;
  Data data_;
  std::atomic<bool> ready_{false};
  std::mutex m_;
};

// Loaded again on every use until a load fills it; once filled it never
// changes, so readers need no lock.
template <class Data>
class RetryCache {
 public:
  template <class Load, class Filled>
  const Data& Get(Data& scratch, Load load, Filled filled) {
    if (ready_.load(std::memory_order_acquire)) return data_;
    std::lock_guard lock(m_);
    if (ready_.load(std::memory_order_relaxed)) return data_;
    scratch = Data{};
    load(scratch);
    if (!filled(scratch)) return scratch;
    data_ = scratch;
    ready_.store(true, std::memory_order_release);
    return data_;
  }

  void Reset() {
    std::lock_guard lock(m_);
    data_ = Data{};
    ready_.store(false, std::memory_order_release);
  }

 private:
  Data data_{};
  std::atomic<bool> ready_{false};
  std::mutex m_;
};

// Loads resource `id` into `out` (cut to size - 1); empty when it cannot.
void LoadResource(CVeltResourceManager* rm, unsigned int id, char* out, std::size_t size) {
  std::string text;
  if (rm) rm->LoadStringA(kResourceModule, id, &text);
  SetFieldText(out, size, text);
}

template <std::size_t N>
void LoadResource(CVeltResourceManager* rm, unsigned int id, char (&out)[N]) {
  LoadResource(rm, id, out, N);
}

RetryCache<OperatorWords> g_operatorWords;
RetryCache<ContainmentWords> g_containmentWords;
RetryCache<Word> g_areaMembership;
RetryCache<Word> g_nodeMembership;
RetryCache<Word> g_allArea;

constexpr PriorityNames kInitialPriorityNames = {
    {"INFO", "LOLO", "LOW", "MEDIUM", "HIGH", "HIHI", "CRITICAL"}};
OnceCache<PriorityNames> g_priorityNames(kInitialPriorityNames);

constexpr AckWords kInitialAckWords = {"Acknowledged", "Unacknowledged"};
OnceCache<AckWords> g_ackWords(kInitialAckWords);

OnceCache<LocalNodeNames> g_localNames(LocalNodeNames{});

}  // namespace

const OperatorWords& GetOperatorWords(OperatorWords& scratch) {
  return g_operatorWords.Get(
      scratch,
      [](OperatorWords& w) {
        CVeltResourceManager* rm = GetResourceManager();
        static constexpr unsigned int kIds[5] = {kResContaining, kResNotContaining,
                                                 kResContainingOnly, kResIn, kResNotIn};
        for (int i = 0; i < 5; ++i) LoadResource(rm, kIds[i], w.words[i].text);
      },
      [](const OperatorWords& w) { return !w.words[0].empty(); });
}

const ContainmentWords& GetContainmentWords(ContainmentWords& scratch) {
  return g_containmentWords.Get(
      scratch,
      [](ContainmentWords& w) {
        CVeltResourceManager* rm = GetResourceManager();
        LoadResource(rm, kResContaining, w.contains.text);
        LoadResource(rm, kResNotContaining, w.notContains.text);
        LoadResource(rm, kResContainingOnly, w.containsOnly.text);
      },
      [](const ContainmentWords& w) { return !w.contains.empty(); });
}

namespace {

const Word& GetMembership(RetryCache<Word>& cache, Word& scratch) {
  return cache.Get(
      scratch, [](Word& w) { LoadResource(GetResourceManager(), kResIn, w.text); },
      [](const Word& w) { return !w.empty(); });
}

}  // namespace

const Word& GetAreaMembershipWord(Word& scratch) {
  return GetMembership(g_areaMembership, scratch);
}
const Word& GetNodeMembershipWord(Word& scratch) {
  return GetMembership(g_nodeMembership, scratch);
}

const Word& GetAllAreaText(Word& scratch) {
  // Obtained means: no alarm-areas object (then "ALL"), or one that answered.
  bool obtained = false;
  return g_allArea.Get(
      scratch,
      [&obtained](Word& w) {
        CTessmer* areas = CTessmer::Create(28);
        if (!areas) {
          SetFieldText(w.text, "ALL");
          obtained = true;
          return;
        }
        std::string text;
        try {
          obtained = areas->GetNLSTextForALL(text) >= 0;
        } catch (...) {
          obtained = false;
        }
        delete areas;
        if (obtained) SetFieldText(w.text, text);
      },
      [&obtained](const Word&) { return obtained; });
}

const PriorityNames& GetPriorityNames() {
  return g_priorityNames.Get([](PriorityNames& p) {
    CVeltResourceManager* rm = GetResourceManager();
    if (!rm) return;  // nothing to load from: the English names stay
    static constexpr unsigned int kIds[7] = {kResInfo, kResLoLo, kResLow,     kResMedium,
                                             kResHigh, kResHiHi, kResCritical};
    for (int i = 0; i < 7; ++i) LoadResource(rm, kIds[i], p.names[i]);
  });
}

const AckWords& GetAckWords() {
  return g_ackWords.Get([](AckWords& a) {
    CVeltResourceManager* rm = GetResourceManager();
    if (!rm) return;
    LoadResource(rm, kResAcknowledged, a.acknowledged);
    LoadResource(rm, kResUnacknowledged, a.unacknowledged);
  });
}

const LocalNodeNames& GetLocalNodeNames() {
  return g_localNames.Get([](LocalNodeNames& n) {
    short status = 0;
    quinthe_get_local_node(n.local);
    quinthe_get_local_alias1(&status, n.alias1);
    quinthe_get_local_alias2(&status, n.alias2);
  });
}

bool SettleMatcherWords() {
  // A getter answers with its scratch only while its cache is not filled.
  ContainmentWords containment;
  Word area, node, all;
  return &GetContainmentWords(containment) != &containment &&
         &GetAreaMembershipWord(area) != &area && &GetNodeMembershipWord(node) != &node &&
         &GetAllAreaText(all) != &all;
}

void ResetProcessCachesForTesting() {
  g_operatorWords.Reset();
  g_containmentWords.Reset();
  g_areaMembership.Reset();
  g_nodeMembership.Reset();
  g_allArea.Reset();
  g_priorityNames.Reset();
  g_ackWords.Reset();
  g_localNames.Reset();
}

}  // namespace tolvane::filter
