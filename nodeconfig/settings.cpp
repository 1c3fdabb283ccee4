#include "nodeconfig/settings.h"

#include <cstring>
#include <string_view>

#include "platform/codepage.h"
#include "platform/registry.h"
#include "tolvane/result_codes.h"

namespace {

// Start of the last character of `text` (npos when empty).
std::size_t LastCharStart(std::string_view text) {
  std::size_t last = std::string_view::npos;
  for (std::size_t i = 0; i < text.size(); i += tolvane::CharLength(text.substr(i))) last = i;
  return last;
}

bool IsSingleByteChar(std::string_view text, std::size_t pos, char c) {
  return pos < text.size() && text[pos] == c && tolvane::CharLength(text.substr(pos)) == 1;
}

}  // namespace

short read_project_setting(const char* name, char* buffer, short size) {
  using namespace tolvane;
  if (!name || !*name || !buffer || size <= 0) return kFailed;

  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kProjectPathsKey, &key) == ERROR_SUCCESS) {
    DWORD length = static_cast<DWORD>(size);
    int32_t rc =
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &length);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS) return kOk;
  }

  if (RegOpenKeyA(HKEY_CLASSES_ROOT, kMachineSettingsKey, &key) != ERROR_SUCCESS) return kFailed;
  int32_t length = size;
  int32_t rc = RegQueryValueA(key, name, buffer, &length);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? kOk : kFailed;
}

short compose_path(char* dest, const char* dir, const char* name, const char* ext, short size) {
  using tolvane::kOk;
  using tolvane::kPathTooLong;
  if (dest && size > 0) dest[0] = '\0';
  if (!dest || size <= 0 || !name) return kPathTooLong;

  std::string_view d = dir ? std::string_view(dir) : std::string_view();
  std::string_view n(name);
  std::string_view e = ext ? std::string_view(ext) : std::string_view();
  // The extension counts even when the name's own one replaces it.
  if (d.size() + n.size() + e.size() + 1 >= static_cast<std::size_t>(size)) return kPathTooLong;

  bool useExt = tolvane::MbsFind(n, '.') == std::string_view::npos;
  std::size_t second = n.empty() ? 0 : tolvane::CharLength(n);
  bool fullPath = IsSingleByteChar(n, 0, '\\') || IsSingleByteChar(n, second, ':');

  bool useDir = !fullPath && dir;
  bool addSeparator = false;
  if (useDir) {
    std::size_t last = LastCharStart(d);
    addSeparator = last != std::string_view::npos && !IsSingleByteChar(d, last, '\\') &&
                   !IsSingleByteChar(d, last, ':');
  }
  bool addExt = useExt && !e.empty();
  bool addPoint = addExt && e.front() != '.';
  // The separator and point are not in the first count: the whole path is
  // checked again so that it never runs past `dest`.
  std::size_t total =
      (useDir ? d.size() + addSeparator : 0) + n.size() + (addExt ? e.size() + addPoint : 0);
  if (total + 1 > static_cast<std::size_t>(size)) return kPathTooLong;

  char* p = dest;
  auto put = [&p](std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    p += s.size();
  };
  if (useDir) put(d);
  if (addSeparator) put("\\");
  put(n);
  if (addPoint) put(".");
  if (addExt) put(e);
  *p = '\0';
  return kOk;
}
