// The bounded JSON reader every outside document goes through: any text is
// refused with a place or read within the bounds, and what it reads can be
// copied, written and read again (nothing recurses past the depth bound).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plant/bounded_json.h"

namespace {

std::size_t Depth(const nlohmann::json& j) {
  std::size_t deepest = 0;
  if (j.is_structured()) {
    for (const auto& v : j) deepest = std::max(deepest, Depth(v));
    return deepest + 1;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace tolvane::plant;
  tolvane::fuzz::Reader in(data, size);
  // First byte: the bounds; the rest is the text.
  uint8_t flags = in.Byte();
  JsonLimits limits{static_cast<std::size_t>(1 + (flags & 31)), 4096 + (flags & 32 ? 0 : 60000u),
                    (flags & 64) != 0};
  std::string_view text = in.Rest();
  nlohmann::json doc;
  JsonInputError err;
  if (!ParseJsonBounded(text, &doc, &err, limits)) {
    TOLVANE_FUZZ_CHECK(doc.is_null());
    TOLVANE_FUZZ_CHECK(err.message.rfind("line ", 0) == 0);
    TOLVANE_FUZZ_CHECK(err.offset <= text.size());
    TOLVANE_FUZZ_CHECK(err.kind != JsonInputError::Kind::kNone);
    return 0;
  }
  TOLVANE_FUZZ_CHECK(text.size() <= limits.maxBytes);
  TOLVANE_FUZZ_CHECK(Depth(doc) <= limits.maxDepth);
  nlohmann::json copy = doc;
  std::string again = copy.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  nlohmann::json back;
  JsonLimits loose{limits.maxDepth, again.size() + 1, limits.refuseDuplicateNames};
  TOLVANE_FUZZ_CHECK(ParseJsonBounded(again, &back, &err, loose));
  return 0;
}
