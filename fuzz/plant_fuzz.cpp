// Plant exchange documents: any text is parsed without harm, every refusal
// names its line and column, and a plant that parses (unknown members
// included) is written and read back to the same document.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plant/plant_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // A fixed "now", so relative times give the same plant on every run.
  static const tolvane::plant::TimePoint now = tolvane::plant::Clock::from_time_t(1765000000);
  std::string text(reinterpret_cast<const char*>(data), size);

  tolvane::plant::Plant plant;
  std::string err;
  bool syntax = false;
  if (!tolvane::plant::ParsePlant(text, now, &plant, &err, &syntax)) {
    TOLVANE_FUZZ_CHECK(err.rfind("line ", 0) == 0);
    return 0;
  }
  TOLVANE_FUZZ_CHECK(!syntax);

  // What export writes, import must read again unchanged.
  std::string saved = tolvane::plant::SerializePlant(plant, false, now);
  tolvane::plant::Plant reloaded;
  std::string err2;
  if (!tolvane::plant::ParsePlant(saved, now, &reloaded, &err2)) {
    std::fprintf(stderr, "saved plant does not load: %s\n", err2.c_str());
    std::abort();
  }
  TOLVANE_FUZZ_CHECK(tolvane::plant::SerializePlant(reloaded, false, now) == saved);
  return 0;
}
