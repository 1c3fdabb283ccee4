#include "web/wire.h"

#include <sodium.h>

#include "plant/bounded_json.h"

namespace tolvane::web {

std::string EncodePlace(const std::string& place) {
  const std::size_t size =
      sodium_base64_encoded_len(place.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  std::string out(size, '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(place.data()),
                    place.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  out.resize(size - 1);  // the terminator
  return out;
}

bool DecodePlace(std::string_view token, std::string* place) {
  if (token.empty() || token.size() > kMaxPlaceToken) return false;
  for (char c : token) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  std::string bytes(token.size(), '\0');
  std::size_t n = 0;
  const char* end = nullptr;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(),
                        token.data(), token.size(), nullptr, &n, &end,
                        sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
      end != token.data() + token.size() || n == 0) {
    return false;
  }
  bytes.resize(n);
  *place = std::move(bytes);
  return true;
}

bool ParseJsonBody(std::string_view text, std::size_t maxBytes, int maxDepth,
                   nlohmann::json* out, std::string* err) {
  plant::JsonLimits limits;
  limits.maxBytes = maxBytes;
  limits.maxDepth = static_cast<std::size_t>(maxDepth);
  plant::JsonInputError why;
  if (!plant::ParseJsonBounded(text, out, &why, limits)) {
    *err = "the body is refused: " + why.message;
    return false;
  }
  if (!out->is_object()) {
    *err = "the body is not a JSON object";
    return false;
  }
  return true;
}

bool CheckPlantText(std::string_view text, std::size_t maxChars, std::string* err) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > text.size()) {
      *err = "is not valid UTF-8";
      return false;
    }
    for (std::size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        *err = "is not valid UTF-8";
        return false;
      }
    }
    if (len == 1 && (c < 0x20 || c == 0x7F)) {
      *err = c == 0 ? "holds a NUL character" : "holds a control character";
      return false;
    }
    i += len;
    ++chars;
  }
  if (chars > maxChars) {
    *err = "is longer than " + std::to_string(maxChars) + " characters";
    return false;
  }
  return true;
}

}  // namespace tolvane::web
