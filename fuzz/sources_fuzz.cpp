// Sources files and field payloads: any text is parsed without harm, every
// refusal of a sources file has a place (or is the file's own), and a
// payload never gives a good value that is not finite.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "field/sources.h"
#include "field/values.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  tolvane::field::SourcesFile file;
  std::vector<tolvane::field::SourceError> errors;
  bool ok = tolvane::field::ParseSources(text, &file, &errors);
  TOLVANE_FUZZ_CHECK(ok == errors.empty());
  for (const auto& e : errors) TOLVANE_FUZZ_CHECK(e.line >= 1 && !e.message.empty());

  tolvane::field::SourcePoint p;
  for (const char* pointer : {"", "/pv", "/a/0/b"}) {
    p.jsonPointer = pointer;
    for (auto type : {tolvane::field::ValueType::kFloat64, tolvane::field::ValueType::kInt16,
                      tolvane::field::ValueType::kBool}) {
      p.type = type;
      auto r = tolvane::field::ReadPayload(text, p, 4096);
      if (r.quality == tolvane::node::FieldQuality::kGood)
        TOLVANE_FUZZ_CHECK(std::isfinite(r.value));
    }
  }
  if (size >= 4) {
    uint16_t regs[2] = {static_cast<uint16_t>(data[0] | data[1] << 8),
                        static_cast<uint16_t>(data[2] | data[3] << 8)};
    p.type = tolvane::field::ValueType::kFloat32;
    auto r = tolvane::field::DecodeRegisters(regs, p);
    if (r.quality == tolvane::node::FieldQuality::kGood) TOLVANE_FUZZ_CHECK(std::isfinite(r.value));
  }
  return 0;
}
