// Queue records from arbitrary bytes, turned into display rows without a
// filter and with one: nothing read or written out of bounds, every text of
// a row terminated, and the filtered page exactly the unfiltered rows that
// pass, packed, with zeros after them.
//
// Input: one control byte (filter choice, reference node), then SUMQMSG
// records of 1902 bytes; with the top bit of the control byte set, a
// filter text up to the first NUL comes before the records.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/alarm_filter.h"
#include "fuzz/fuzz_support.h"
#include "manager/row_conversion.h"
#include "tests/support/filter_oracle.h"

namespace {

const char* const kFilters[] = {
    "ASF_PRIORITY >= \"LOW\"",
    "NOT ASF_ACK = \"Acknowledged\" OR ASF_AREA IN \"A*,BOILERS\"",
    "(ASF_TAGNAME = \"P*\" AND ASF_DATEIN > \"01/01/20\") NOR ASF_TIMELAST < \"12:00\"",
    "ASF_NODE NOTIN \"PLANT1, NODE2\" AND ASF_DESCRIPTION CONTAINING \"*LOW*\"",
    "ASF_FLEX1 > \"5\" OR ASF_ALMEXT1 CONTAININGONLY \"X?\" OR ASF_PRIORITY <> \"HIHI\"",
    "ASF_TAGNAME = \"unbalanced\"(",
    "",
};
constexpr std::size_t kFilterCount = sizeof kFilters / sizeof kFilters[0];

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

bool RowTextsTerminated(const tagAlarmStr& r) {
  return Terminated(r.reference) && Terminated(r.areas) && Terminated(r.dateIn) &&
         Terminated(r.dateLast) && Terminated(r.timeIn) && Terminated(r.timeLast) &&
         Terminated(r.node) && Terminated(r.tagName) && Terminated(r.priority) &&
         Terminated(r.status) && Terminated(r.description) && Terminated(r.value) &&
         Terminated(r.ext1) && Terminated(r.ext2);
}

bool AllZero(const void* p, std::size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i)
    if (b[i]) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  tolvane::fuzz::SharedNode();
  tolvane::fuzz::Reader in(data, size);
  const uint8_t control = in.Byte();
  const auto nodeChoice =
      control & 0x40 ? tolvane::ReferenceNode::kPhysicalNode : tolvane::ReferenceNode::kNodeName;
  std::string ownFilter;
  const char* filter = kFilters[control % kFilterCount];
  if (control & 0x80) {
    ownFilter = std::string(in.Piece('\0'));
    filter = ownFilter.c_str();
  }
  std::string_view records = in.Rest();
  const unsigned int n = static_cast<unsigned int>(records.size() / sizeof(SUMQMSG));
  if (n == 0) return 0;
  // Exactly n messages and n rows, so any stray access is caught.
  std::unique_ptr<SUMQMSG[]> list(new SUMQMSG[n]);
  std::memcpy(list.get(), records.data(), n * sizeof(SUMQMSG));

  std::unique_ptr<tagAlarmStr[]> all(new tagAlarmStr[n]());
  short allCount = -1;
  TOLVANE_FUZZ_CHECK(
      tolvane::ConvertMessages(list.get(), all.get(), n, &allCount, "", nodeChoice) == 1);
  TOLVANE_FUZZ_CHECK(allCount == static_cast<short>(n));
  for (unsigned int i = 0; i < n; ++i) {
    TOLVANE_FUZZ_CHECK(RowTextsTerminated(all[i]));
    TOLVANE_FUZZ_CHECK(all[i].ack[0] == '0' || all[i].ack[0] == '1');
  }

  std::unique_ptr<tagAlarmStr[]> kept(new tagAlarmStr[n]());
  short keptCount = -1;
  int ok = tolvane::ConvertMessages(list.get(), kept.get(), n, &keptCount, filter, nodeChoice);
  TOLVANE_FUZZ_CHECK(ok == 0 || ok == 1);
  if (!ok) {
    TOLVANE_FUZZ_CHECK(keptCount == 0);
    return 0;
  }
  TOLVANE_FUZZ_CHECK(keptCount >= 0 && static_cast<unsigned int>(keptCount) <= n);
  // The kept rows are exactly the unfiltered rows the filter passes, in
  // order: none made up, none dropped. Whether a row passes is asked of the
  // slow oracle, not of the matcher under test.
  const bool filtered = filter[0] != '\0';
  AlarmFilter oracle;
  std::vector<char> expression(std::strlen(filter) + 1, '\0');
  if (filtered) {
    TOLVANE_FUZZ_CHECK(
        oracle.ParseFilter(filter, expression.data(), static_cast<int>(expression.size())) == 1);
  }
  unsigned int expected = 0;
  for (unsigned int i = 0; i < n && expected < tolvane::kMaxRows; ++i) {
    tagAlarmStr row = all[i];
    if (filtered &&
        !tolvane::testing::MatchByComparingEverything(oracle, expression.data(), &row)) {
      continue;
    }
    TOLVANE_FUZZ_CHECK(expected < static_cast<unsigned int>(keptCount));
    TOLVANE_FUZZ_CHECK(std::memcmp(&all[i], &kept[expected], sizeof(tagAlarmStr)) == 0);
    ++expected;
  }
  TOLVANE_FUZZ_CHECK(expected == static_cast<unsigned int>(keptCount));
  TOLVANE_FUZZ_CHECK(
      AllZero(&kept[keptCount], (n - static_cast<unsigned int>(keptCount)) * sizeof(tagAlarmStr)));
  return 0;
}
