// Process-wide texts the filter reads: resource words, priority names,
// acknowledge words, local node names and the ALL-area name. Each is filled
// on first use and kept; several threads may make that first use at once.
#pragma once

#include <atomic>
#include <mutex>

namespace tolvane::filter {

inline constexpr const char* kResourceModule = "TolvaneRes.dll";

// String resources of the resource module.
enum ResourceId : unsigned int {
  kResIn = 6,
  kResNotIn = 7,
  kResContaining = 8,
  kResNotContaining = 9,
  kResContainingOnly = 10,
  kResLow = 11,
  kResMedium = 12,
  kResHigh = 13,
  kResInfo = 14,
  kResLoLo = 15,
  kResHiHi = 16,
  kResCritical = 17,
  kResAcknowledged = 18,
  kResUnacknowledged = 19,
};

// A resource word; longer texts are cut (an operator cannot be longer than
// a term's 63-character op field anyway).
struct Word {
  char text[64];
  bool empty() const { return text[0] == '\0'; }
};

// The parser's operator words, resources 8, 9, 10, 6, 7 in that order.
struct OperatorWords {
  Word words[5];
};

// The text matcher's containment words, resources 8, 9, 10.
struct ContainmentWords {
  Word contains, notContains, containsOnly;
};

// Seven priority names of 20 bytes, ascending severity.
struct PriorityNames {
  char names[7][20];
};

struct AckWords {
  char acknowledged[20];
  char unacknowledged[20];
};

struct LocalNodeNames {
  char local[9];
  char alias1[9];
  char alias2[9];
};

// Each getter returns a reference that stays valid and unchanged for the
// rest of the process, or, while a retried cache is still empty, `scratch`
// holding what this attempt loaded.
const OperatorWords& GetOperatorWords(OperatorWords& scratch);  // again while word 8 is empty
const ContainmentWords& GetContainmentWords(ContainmentWords& scratch);  // again while 8 is empty
const Word& GetAreaMembershipWord(Word& scratch);  // resource 6, again while empty
const Word& GetNodeMembershipWord(Word& scratch);  // resource 6, again while empty
const Word& GetAllAreaText(Word& scratch);         // again until obtained
const PriorityNames& GetPriorityNames();           // once
const AckWords& GetAckWords();                     // once
const LocalNodeNames& GetLocalNodeNames();         // once, whatever the status

// Loads the words above that are loaded again until found (those the
// matchers read) and says whether every one is found now: from then on none
// of them changes for the rest of the process.
bool SettleMatcherWords();

// Forgets every cache (tests only; no other thread may be using them).
void ResetProcessCachesForTesting();

}  // namespace tolvane::filter
