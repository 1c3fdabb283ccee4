#include "node/text_catalogue.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <set>
#include <string_view>

#include "tolvane/settings.h"
#include "tolvane/text_field.h"

namespace tolvane::node {
namespace {

std::string_view Trim(std::string_view s) {
  const char* blanks = " \t\r\n";
  std::size_t b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

std::optional<int> ParseNumber(std::string_view s) {
  bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  long long v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  // The digits may carry a sign of their own ("--9223372036854775808").
  if (negative && v == LLONG_MIN) return std::nullopt;
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int>(v);
}

// The file name part of a path, after its last separator.
std::string BaseName(const std::string& nativePath) {
  std::size_t slash = nativePath.rfind('/');
  return slash == std::string::npos ? nativePath : nativePath.substr(slash + 1);
}

}  // namespace

std::optional<NumberedTexts> ReadNumberedTexts(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  NumberedTexts texts;
  std::string raw;
  while (std::getline(in, raw)) {
    std::string_view line = raw;
    // Texts are handed out as C strings: a NUL ends the line, so a text can
    // never start with one and end a dictionary table early.
    line = line.substr(0, line.find('\0'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view head = Trim(line);
    if (head.empty() || head.front() == '#' || head.front() == ';') continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::optional<int> number = ParseNumber(Trim(line.substr(0, eq)));
    if (!number) continue;
    std::string_view text = Trim(line.substr(eq + 1));
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
      text = text.substr(1, text.size() - 2);
    }
    if (!text.empty()) texts.emplace(*number, std::string(text));
  }
  return texts;
}

const char* InternText(const std::string& text) {
  static std::mutex m;
  // Never freed: the library keeps these pointers in its tables for good.
  static auto* pool = new std::set<std::string, std::less<>>;
  std::lock_guard lock(m);
  return pool->insert(text).first->c_str();
}

TextCatalogue::TextCatalogue() = default;
TextCatalogue::~TextCatalogue() = default;

std::size_t TextCatalogue::OpenCount() const {
  std::lock_guard lock(m_);
  return open_.size();
}

std::size_t TextCatalogue::OverlayAttempts() const {
  std::lock_guard lock(m_);
  return overlays_;
}

int TextCatalogue::OverlayDictionary(DictEntry* entries, const char* path) {
  {
    std::lock_guard lock(m_);
    ++overlays_;
  }
  if (!entries || !path || faults_.Check("ulv_overlay_dct") != 0) return 0;
  std::optional<NumberedTexts> texts = ReadNumberedTexts(NativePath(path));
  if (!texts) return 0;
  for (DictEntry* e = entries; e->text && e->text[0] != '\0'; ++e) {
    auto it = texts->find(static_cast<int16_t>(e->id));
    if (it == texts->end()) continue;
    e->text = InternText(it->second);
  }
  return 1;
}

int TextCatalogue::Open(const char* path, int* handle) {
  if (!path || !*path || !handle || faults_.Check("ulv_txtopen") != 0) return 0;
  std::string native = NativePath(path);
  std::optional<NumberedTexts> texts = ReadNumberedTexts(native);
  if (!texts) return 0;
  std::lock_guard lock(m_);
  int h = nextHandle_++;
  if (nextHandle_ <= 0) nextHandle_ = 1;
  open_[h] = Catalogue{BaseName(native), std::move(*texts)};
  *handle = h;
  return 1;
}

int TextCatalogue::Get(int handle, int number, char* dest, int capacity) {
  if (!dest || capacity <= 0 || faults_.Check("ulv_txtget") != 0) return 0;
  std::lock_guard lock(m_);
  auto c = open_.find(handle);
  if (c == open_.end()) return 0;
  auto t = c->second.texts.find(number);
  if (t == c->second.texts.end()) return 0;
  SetFieldText(dest, static_cast<std::size_t>(capacity), t->second);
  return 1;
}

int TextCatalogue::ModuleName(int handle, char* buffer, int size) {
  if (!buffer || size <= 0 || faults_.Check("ulv_getModuleName") != 0) return 0;
  std::lock_guard lock(m_);
  auto c = open_.find(handle);
  if (c == open_.end()) return 0;
  SetFieldText(buffer, static_cast<std::size_t>(size), c->second.moduleName);
  return 1;
}

int TextCatalogue::Close(int handle) {
  if (faults_.Check("ulv_txtclose") != 0) return 0;
  std::lock_guard lock(m_);
  return open_.erase(handle) ? 1 : 0;
}

}  // namespace tolvane::node
