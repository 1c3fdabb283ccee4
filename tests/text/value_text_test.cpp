#include "text/value_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "node/number_format.h"
#include "services/lexmon.h"
#include "support/backend_guard.h"
#include "tolvane/result_codes.h"

namespace tolvane {
namespace {

_AlmCanonicalValue Value(int32_t kind, const void* bytes, std::size_t n) {
  _AlmCanonicalValue v{};
  v.kind = kind;
  std::memcpy(v.value.raw, bytes, n);
  return v;
}

template <class T>
_AlmCanonicalValue Of(int32_t kind, T x) {
  return Value(kind, &x, sizeof x);
}

std::string Convert(const _AlmCanonicalValue& v, unsigned size = 31, unsigned* rc = nullptr) {
  char buf[64];
  std::memset(buf, '#', sizeof buf);
  unsigned r = ConvertValueToText(&v, buf, size);
  if (rc) *rc = r;
  for (unsigned i = size; i < sizeof buf; ++i) EXPECT_EQ(buf[i], '#') << "overrun at " << i;
  return size ? std::string(buf) : std::string("<nothing>");
}

TEST(ValueText, IntegerKindsAtTheirLimits) {
  const uint8_t ff = 0xFF;
  EXPECT_EQ(Convert(Of<uint8_t>(2, ff)), "-1");
  EXPECT_EQ(Convert(Of<uint8_t>(3, ff)), "255");
  EXPECT_EQ(Convert(Of<int8_t>(2, -128)), "-128");
  EXPECT_EQ(Convert(Of<int8_t>(2, 127)), "127");
  EXPECT_EQ(Convert(Of<uint16_t>(5, 0xFFFF)), "65535");
  EXPECT_EQ(Convert(Of<uint16_t>(4, 0xFFFF)), "-1");
  EXPECT_EQ(Convert(Of<uint16_t>(1, 0xFFFF)), "-1");
  EXPECT_EQ(Convert(Of<int16_t>(1, -32768)), "-32768");
  EXPECT_EQ(Convert(Of<int16_t>(4, 32767)), "32767");
  EXPECT_EQ(Convert(Of<uint32_t>(6, 0x80000000u)), "-2147483648");
  EXPECT_EQ(Convert(Of<uint32_t>(7, 0x80000000u)), "2147483648");
  EXPECT_EQ(Convert(Of<uint32_t>(7, 0xFFFFFFFFu)), "4294967295");
  EXPECT_EQ(Convert(Of<int32_t>(6, 2147483647)), "2147483647");
  EXPECT_EQ(Convert(Of<int32_t>(6, 0)), "0");
}

TEST(ValueText, OnlyTheKindsBytesAreRead) {
  // Bytes beyond the kind's width must not leak into the number.
  const uint8_t bytes[8] = {0x05, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  EXPECT_EQ(Convert(Value(2, bytes, 8)), "5");
  EXPECT_EQ(Convert(Value(3, bytes, 8)), "5");
  EXPECT_EQ(Convert(Value(5, bytes, 8)), "261");
  EXPECT_EQ(Convert(Value(7, bytes, 8)), "50462981");
}

TEST(ValueText, KindsWithoutATextForm) {
  unsigned rc = 0;
  for (int32_t kind : {0, 10, -1, 1 << 30}) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(Convert(Of<int32_t>(kind, 12), 31, &rc), "*?*");
    EXPECT_EQ(rc, static_cast<unsigned>(kNoTextForm));
  }
  EXPECT_EQ(Convert(Of<int32_t>(0, 12), 3, &rc), "*?");
  EXPECT_EQ(rc, static_cast<unsigned>(kNoTextForm));
  char buf[8];
  EXPECT_EQ(ConvertValueToText(nullptr, buf, sizeof buf), static_cast<unsigned>(kNoTextForm));
  EXPECT_STREQ(buf, "*?*");
}

TEST(ValueText, TextValuesAreCopiedWhateverTheKindAndCut) {
  _AlmCanonicalValue v = Of<int32_t>(99, 1234);
  v.textFlag = 1;
  std::strcpy(v.text, "ABCDEF");
  unsigned rc = 7;
  EXPECT_EQ(Convert(v, 31, &rc), "ABCDEF");
  EXPECT_EQ(rc, 0u) << "a text is a text form whatever the kind";
  EXPECT_EQ(Convert(v, 4), "ABC");
  EXPECT_EQ(Convert(v, 1), "");
  EXPECT_EQ(Convert(v, 0), "<nothing>");

  // A text that fills all 80 bytes unterminated is read up to the field's end.
  std::memset(v.text, 'x', sizeof v.text);
  char big[128];
  ConvertValueToText(&v, big, sizeof big);
  EXPECT_EQ(std::string(big), std::string(80, 'x'));
}

TEST(ValueText, IntegersAreCutToTheCallersBuffer) {
  EXPECT_EQ(Convert(Of<uint32_t>(6, 0x80000000u), 4), "-21");
  EXPECT_EQ(Convert(Of<uint32_t>(6, 0x80000000u), 12), "-2147483648");
}

TEST(ValueText, FloatsUseTheNodesNumberFormat) {
  node::NumberFormat format(',');
  testing::BackendGuard<NumberFormatBackend, InstallNumberFormatBackend> guard(&format);
  EXPECT_EQ(Convert(Of<float>(8, 12.5f)), "12,500");
  EXPECT_EQ(Convert(Of<float>(9, -0.25f)), "-0,250");
  std::string big = Convert(Of<float>(8, std::numeric_limits<float>::max()));
  EXPECT_LE(big.size(), 15u);
  EXPECT_EQ(big, "3,403e+38");
  EXPECT_EQ(Convert(Of<float>(8, -std::numeric_limits<float>::max())), "-3,403e+38");
  EXPECT_EQ(Convert(Of<float>(8, std::numeric_limits<float>::infinity())), "Inf");
  EXPECT_EQ(Convert(Of<float>(8, std::nanf(""))), "NaN");
  EXPECT_EQ(Convert(Of<float>(8, 12.5f), 4), "12,");
  // Just within 15 characters, and just beyond.
  EXPECT_EQ(Convert(Of<float>(8, 1234567936.0f)), "1234567936,000");
  EXPECT_EQ(Convert(Of<float>(8, -12345678848.0f)), "-1,235e+10");
}

TEST(ValueText, FloatsWithoutANumberServiceAreEmpty) {
  unsigned rc = 7;
  EXPECT_EQ(Convert(Of<float>(8, 12.5f), 31, &rc), "");
  EXPECT_EQ(rc, 0u);
  char buf[16] = "xyz";
  EXPECT_EQ(lexmon_format_real(1.0, 3, 15, buf), -1);
  EXPECT_STREQ(buf, "");
}

}  // namespace
}  // namespace tolvane
