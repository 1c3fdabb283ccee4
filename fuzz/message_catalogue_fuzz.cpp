// Message catalogue files: opened, read by number into buffers of every
// size, with and without the severity prefix, and closed.
//
// Input: message number (2 bytes), destination size (1 byte), severity
// (1 byte), then the catalogue file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "services/ulvoran.h"
#include "text/dictionary.h"
#include "tolvane/result_codes.h"

namespace {

// A destination of exactly `size` bytes, so a write past it is caught.
std::unique_ptr<char[]> Buffer(std::size_t size) {
  std::unique_ptr<char[]> b(new char[size ? size : 1]);
  std::memset(b.get(), 'x', size ? size : 1);
  return b;
}

bool TerminatedWithin(const char* text, std::size_t size) {
  return std::memchr(text, '\0', size) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  tolvane::fuzz::SharedNode();
  static const std::string path = tolvane::fuzz::ScratchDirectory() + "/FUZZCAT.DLL";
  tolvane::fuzz::Reader in(data, size);
  const short number = static_cast<short>(in.U16());
  const std::size_t destLen = in.Byte();
  const unsigned char severity = in.Byte() % 6;
  std::string_view file = in.Rest();
  tolvane::fuzz::WriteFile(path, file.data(), file.size());

  int handle = 0;
  TOLVANE_FUZZ_CHECK(ulv_txtopen(path.c_str(), &handle) != 0);

  const short numbers[] = {number, 0, 1, 100, -3, 554, 32767, -32768};
  for (short n : numbers) {
    for (std::size_t cap : {destLen, std::size_t{1}, std::size_t{16}, std::size_t{300}}) {
      auto dest = Buffer(cap);
      if (ulv_txtget(&handle, n, dest.get(), static_cast<int>(cap)) != 0) {
        TOLVANE_FUZZ_CHECK(cap > 0 && TerminatedWithin(dest.get(), cap));
      }
      auto shown = Buffer(cap);
      short r = fls_txtget(&handle, n, shown.get(), static_cast<short>(cap), severity);
      TOLVANE_FUZZ_CHECK(r == tolvane::kOk || r == tolvane::kFailed);
      if (cap > 0) TOLVANE_FUZZ_CHECK(TerminatedWithin(shown.get(), cap));
    }
  }

  char module[32];
  if (ulv_getModuleName(&handle, module, sizeof module))
    TOLVANE_FUZZ_CHECK(std::strcmp(module, "FUZZCAT.DLL") == 0);
  ulv_txtclose(&handle);

  // Through the library's own open, by full path.
  int viaName = 0;
  if (fls_txtopen(path.c_str(), &viaName) == nullptr) {
    auto dest = Buffer(destLen);
    short r = fls_txtget(&viaName, number, dest.get(), static_cast<short>(destLen), severity);
    TOLVANE_FUZZ_CHECK(r == tolvane::kOk || r == tolvane::kFailed);
    if (destLen > 0) TOLVANE_FUZZ_CHECK(TerminatedWithin(dest.get(), destLen));
    fls_txtclose(&viaName);
  }
  return 0;
}
