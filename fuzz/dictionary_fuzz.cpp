// Dictionary overlay files, as a node's text-catalogue backend reads them,
// laid over a private table through ulv_overlay_dct.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "services/ulvoran.h"

namespace {

constexpr int kTexts = 6;
const DictEntry kBuiltIn[kTexts + 1] = {
    {7, "HIHI    ", 1796}, {6, "CRIT", 3},        {6, "LOW", -7}, {0, "ZERO", 0},
    {5, "TOP", 32767},     {5, "BOTTOM", -32768}, {0, "", -1},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  tolvane::fuzz::SharedNode();
  static const std::string path = tolvane::fuzz::ScratchDirectory() + "/fuzz_table.DLL";
  tolvane::fuzz::WriteFile(path, data, size);

  tolvane::DictTableStorage<kTexts + 1> table{{-1, "fuzz table", 0}, {}};
  std::memcpy(table.entries, kBuiltIn, sizeof kBuiltIn);
  TOLVANE_FUZZ_CHECK(ulv_overlay_dct(table.header.Entries(), path.c_str()) != 0);

  // Texts may change, but the table keeps every entry, every id, its kind,
  // and its terminator: an emptied text would end the table early and hide
  // the entries after it.
  for (int i = 0; i < kTexts; ++i) {
    const DictEntry& e = table.entries[i];
    TOLVANE_FUZZ_CHECK(e.id == kBuiltIn[i].id && e.kind == kBuiltIn[i].kind);
    TOLVANE_FUZZ_CHECK(e.text != nullptr && e.text[0] != '\0');
    (void)std::strlen(e.text);
  }
  TOLVANE_FUZZ_CHECK(table.entries[kTexts].id == -1 && table.entries[kTexts].text[0] == '\0');

  // The same file again gives the same texts.
  tolvane::DictTableStorage<kTexts + 1> again{{-1, "fuzz table", 0}, {}};
  std::memcpy(again.entries, kBuiltIn, sizeof kBuiltIn);
  TOLVANE_FUZZ_CHECK(ulv_overlay_dct(again.header.Entries(), path.c_str()) != 0);
  for (int i = 0; i < kTexts; ++i)
    TOLVANE_FUZZ_CHECK(std::strcmp(again.entries[i].text, table.entries[i].text) == 0);
  return 0;
}
