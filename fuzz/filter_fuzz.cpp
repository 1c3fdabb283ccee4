// Operator filter strings: parse, explain, validate, and match against a few
// fixed rows (one ordinary, one with every text field full and
// unterminated, one empty).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "filter/alarm_filter.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/filter_oracle.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/filter_diagnostic.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace {

using tolvane::SetFieldTextPadded;

tagAlarmStr OrdinaryRow() {
  tagAlarmStr r{};
  r.ack[0] = '0';
  SetFieldTextPadded(r.reference, "A12PLANT1");
  SetFieldTextPadded(r.areas, "AREA1,BOILERS,ALL");
  SetFieldTextPadded(r.dateIn, "12/07/25");
  SetFieldTextPadded(r.dateLast, "12/08/2025");
  SetFieldTextPadded(r.timeIn, "21:30:15");
  SetFieldTextPadded(r.timeLast, "07:05");
  SetFieldTextPadded(r.node, "PLANT1");
  SetFieldTextPadded(r.tagName, "PUMP_101");
  SetFieldTextPadded(r.priority, "HIGH");
  SetFieldTextPadded(r.status, "HI  ");
  SetFieldTextPadded(r.description, "LEVEL LOW ALARM");
  SetFieldTextPadded(r.value, "12.500");
  SetFieldTextPadded(r.ext1, "extension one");
  SetFieldTextPadded(r.ext2, "EXT2");
  for (std::size_t i = 0; i < sizeof r.fieldBlock; ++i)
    r.fieldBlock[i] = static_cast<uint8_t>('0' + i % 10);
  r.vsp.blockType = 'A';
  r.vsp.blockNumber = 12;
  return r;
}

// Every byte set, no terminator anywhere, double-byte lead bytes mixed in.
tagAlarmStr FullRow() {
  tagAlarmStr r;
  static const char pattern[] =
      "\x81"
      "A*?,Z \x9f"
      "b";
  auto* bytes = reinterpret_cast<unsigned char*>(&r);
  for (std::size_t i = 0; i < sizeof r; ++i)
    bytes[i] = static_cast<unsigned char>(pattern[i % (sizeof pattern - 1)]);
  r.ack[0] = '1';
  return r;
}

// The expression holds term indexes and the connective codes, nothing else.
bool ExpressionCharsValid(const char* expression) {
  for (const char* p = expression; *p; ++p)
    if (!std::strchr("0123456789*+!-()", *p)) return false;
  return true;
}

bool Terminated(const char* field, std::size_t size) {
  return std::memchr(field, '\0', size) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  tolvane::fuzz::SharedNode();
  static CVeltAlmSummMgr* manager = new CVeltAlmSummMgr;
  static const std::vector<tagAlarmStr> fixedRows = {OrdinaryRow(), FullRow(), tagAlarmStr{}};

  std::string_view raw(reinterpret_cast<const char*>(data), size);
  std::string_view text = raw.substr(0, raw.find('\0'));
  auto filter = tolvane::fuzz::ExactText(text);

  // The expression buffer is exactly as large as the callers make it.
  std::vector<char> expression(text.size() + 1, '\x7f');
  AlarmFilter parsed;
  int ok = parsed.ParseFilter(filter.get(), expression.data(), static_cast<int>(expression.size()));
  TOLVANE_FUZZ_CHECK(ok == 0 || ok == 1);

  tolvane::FilterExplanation why = tolvane::ExplainFilter(filter.get());
  TOLVANE_FUZZ_CHECK(why.accepted == ok);
  TOLVANE_FUZZ_CHECK(why.reason != nullptr);
  TOLVANE_FUZZ_CHECK(Terminated(why.token, sizeof why.token));
  if (!ok)
    TOLVANE_FUZZ_CHECK(why.position >= 0 && static_cast<std::size_t>(why.position) <= text.size());

  short validated = manager->ValidateFilterString(filter.get());
  TOLVANE_FUZZ_CHECK(validated == ((ok || text.empty()) ? tolvane::kOk : tolvane::kBadFilter));

  for (int i = 0; i < parsed.GetCount(); ++i) {
    const FilterTerm* t = parsed.GetAt(i);
    TOLVANE_FUZZ_CHECK(t != nullptr);
    TOLVANE_FUZZ_CHECK(Terminated(t->field, sizeof t->field));
    TOLVANE_FUZZ_CHECK(Terminated(t->op, sizeof t->op));
    TOLVANE_FUZZ_CHECK(Terminated(t->value, sizeof t->value));
  }
  if (!ok) {
    TOLVANE_FUZZ_CHECK(expression[0] == '\0');
    return 0;
  }
  TOLVANE_FUZZ_CHECK(Terminated(expression.data(), expression.size()));
  TOLVANE_FUZZ_CHECK(std::strlen(expression.data()) < text.size());
  TOLVANE_FUZZ_CHECK(ExpressionCharsValid(expression.data()));

  // Each row is matched on a copy (matchers may not touch it, but must not
  // write past it either), and matching the first row again must agree:
  // the per-call caches must not change an answer.
  // The answer must be the one comparing everything gives, however early the
  // matcher stops.
  std::vector<int> first;
  for (const tagAlarmStr& fixed : fixedRows) {
    tagAlarmStr row = fixed;
    int m = parsed.MatchFilter(expression.data(), &row);
    TOLVANE_FUZZ_CHECK(m == 0 || m == 1);
    first.push_back(m);
    tagAlarmStr slow = fixed;
    TOLVANE_FUZZ_CHECK(
        tolvane::testing::MatchByComparingEverything(parsed, expression.data(), &slow) == m);
  }
  tagAlarmStr again = fixedRows[0];
  TOLVANE_FUZZ_CHECK(parsed.MatchFilter(expression.data(), &again) == first[0]);
  return 0;
}
