#include "platform/registry.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <set>
#include <sstream>

#include "platform/codepage.h"
#include "tolvane/settings.h"

namespace tolvane {
namespace {

std::mutex g_settingsMutex;
std::string g_settingsDir;  // empty: the default

std::string DefaultSettingsDirectory() {
  if (const char* env = std::getenv("TOLVANE_SETTINGS_DIR"); env && *env) return env;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    return std::string(xdg) + "/tolvane";
  }
  if (const char* home = std::getenv("HOME"); home && *home) {
    return std::string(home) + "/.config/tolvane";
  }
  return std::string();
}

std::string_view Trim(std::string_view s) {
  const char* blanks = " \t\r\n";
  std::size_t b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

std::string Upper(std::string_view s) {
  return MbsUpper(s);
}

// An opened key: the file as it was when the key was opened, and its path.
struct OpenKey {
  std::shared_ptr<const IniFile> file;
  std::string path;  // "HKEY_CURRENT_USER\Software\..."
};

std::mutex g_keysMutex;
std::set<OpenKey*>& LiveKeys() {
  static auto* keys = new std::set<OpenKey*>;  // outlives every static destructor
  return *keys;
}

const char* RootName(HKEY key) {
  if (key == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
  if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  return nullptr;
}

// The file and path behind `key`, or false for an unknown handle.
bool Resolve(HKEY key, std::shared_ptr<const IniFile>* file, std::string* path) {
  if (const char* root = RootName(key)) {
    *file = IniFile::Load(RegistryFilePath());
    *path = root;
    return true;
  }
  auto* open = reinterpret_cast<OpenKey*>(key);
  std::lock_guard lock(g_keysMutex);
  if (!LiveKeys().count(open)) return false;
  *file = open->file;
  *path = open->path;
  return true;
}

std::string JoinKey(const std::string& path, const char* subKey) {
  std::string_view sub = subKey ? std::string_view(subKey) : std::string_view();
  while (!sub.empty() && sub.front() == '\\') sub.remove_prefix(1);
  while (!sub.empty() && sub.back() == '\\' && CharLength(sub.substr(sub.size() - 1)) == 1) {
    sub.remove_suffix(1);
  }
  if (sub.empty()) return path;
  return path + "\\" + std::string(sub);
}

// Copies `value` under the registry's size rules.
int32_t CopyValue(const std::string& value, BYTE* data, DWORD* dataSize) {
  DWORD need = static_cast<DWORD>(value.size() + 1);
  if (!data) {
    *dataSize = need;
    return ERROR_SUCCESS;
  }
  if (*dataSize < need) {
    *dataSize = need;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, value.c_str(), need);
  *dataSize = need;
  return ERROR_SUCCESS;
}

}  // namespace

void SetSettingsDirectory(const char* path) {
  std::string dir = path ? path : "";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::lock_guard lock(g_settingsMutex);
  g_settingsDir = std::move(dir);
}

std::string SettingsDirectory() {
  try {
    {
      std::lock_guard lock(g_settingsMutex);
      if (!g_settingsDir.empty()) return g_settingsDir;
    }
    std::string dir = DefaultSettingsDirectory();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
  } catch (...) {
    return std::string();
  }
}

std::string NativePath(std::string_view path) {
  std::string out;
  try {
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size();) {
      std::size_t n = CharLength(path.substr(i));
      if (n == 1 && path[i] == '\\') {
        out.push_back('/');
      } else {
        out.append(path.substr(i, n));
      }
      i += n;
    }
  } catch (...) {
    out.clear();
  }
  return out;
}

std::string SettingsFilePath(const char* file) {
  std::string name = NativePath(file ? file : "");
  if (!name.empty() && name.front() == '/') return name;
  std::string dir = SettingsDirectory();
  if (dir.empty()) return name;
  return dir + "/" + name;
}

std::string RegistryFilePath() {
  return SettingsFilePath("registry.ini");
}

// --- IniFile ---

IniFile IniFile::Parse(std::string_view text) {
  IniFile ini;
  Values* current = nullptr;
  while (!text.empty()) {
    std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      std::size_t close = line.rfind(']');
      if (close == std::string_view::npos || close == 0) {
        current = nullptr;  // a broken header hides its lines
        continue;
      }
      current = &ini.sections_[Upper(Trim(line.substr(1, close - 1)))];
      continue;
    }
    std::size_t eq = line.find('=');
    if (!current || eq == std::string_view::npos) continue;
    std::string name = Upper(Trim(line.substr(0, eq)));
    if (name.empty()) continue;
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    current->emplace(std::move(name), std::string(value));  // first one wins
  }
  return ini;
}

std::shared_ptr<const IniFile> IniFile::Load(const std::string& path) {
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::make_shared<const IniFile>();
    std::ostringstream text;
    text << in.rdbuf();
    return std::make_shared<const IniFile>(Parse(text.str()));
  } catch (...) {
    return nullptr;
  }
}

const std::string* IniFile::Find(std::string_view section, std::string_view name) const {
  auto s = sections_.find(Upper(section));
  if (s == sections_.end()) return nullptr;
  auto v = s->second.find(Upper(name));
  return v == s->second.end() ? nullptr : &v->second;
}

bool IniFile::HasSection(std::string_view section) const {
  return sections_.count(Upper(section)) != 0;
}

bool IniFile::HasSectionOrBelow(std::string_view section) const {
  std::string key = Upper(section);
  if (sections_.count(key)) return true;
  // Sections below it share the prefix "key\" and sort together.
  std::string below = key + "\\";
  auto it = sections_.lower_bound(below);
  return it != sections_.end() && it->first.compare(0, below.size(), below) == 0;
}

// --- registry calls ---

int32_t RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  try {
    std::shared_ptr<const IniFile> file;
    std::string path;
    if (!Resolve(key, &file, &path)) return ERROR_INVALID_HANDLE;
    if (!file) return ERROR_OUTOFMEMORY;
    std::string full = JoinKey(path, subKey);
    if (full != path && !file->HasSectionOrBelow(full)) return ERROR_FILE_NOT_FOUND;
    auto* open = new OpenKey{std::move(file), std::move(full)};
    std::lock_guard lock(g_keysMutex);
    LiveKeys().insert(open);
    *result = reinterpret_cast<HKEY>(open);
    return ERROR_SUCCESS;
  } catch (...) {
    return ERROR_OUTOFMEMORY;
  }
}

int32_t RegCloseKey(HKEY key) {
  if (RootName(key)) return ERROR_SUCCESS;
  auto* open = reinterpret_cast<OpenKey*>(key);
  {
    std::lock_guard lock(g_keysMutex);
    if (LiveKeys().erase(open) == 0) return ERROR_INVALID_HANDLE;
  }
  delete open;
  return ERROR_SUCCESS;
}

int32_t RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* dataSize) {
  if (reserved || !dataSize) return ERROR_INVALID_PARAMETER;
  try {
    std::shared_ptr<const IniFile> file;
    std::string path;
    if (!Resolve(key, &file, &path)) return ERROR_INVALID_HANDLE;
    if (!file) return ERROR_OUTOFMEMORY;
    const char* name = (valueName && *valueName) ? valueName : "@";
    const std::string* value = file->Find(path, name);
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (type) *type = REG_SZ;
    return CopyValue(*value, data, dataSize);
  } catch (...) {
    return ERROR_OUTOFMEMORY;
  }
}

int32_t RegQueryValueA(HKEY key, const char* subKey, char* data, int32_t* dataSize) {
  if (!dataSize || *dataSize < 0) return ERROR_INVALID_PARAMETER;
  try {
    std::shared_ptr<const IniFile> file;
    std::string path;
    if (!Resolve(key, &file, &path)) return ERROR_INVALID_HANDLE;
    if (!file) return ERROR_OUTOFMEMORY;
    std::string full = JoinKey(path, subKey);
    const std::string* value = file->Find(full, "@");
    if (!value) return ERROR_FILE_NOT_FOUND;
    DWORD size = static_cast<DWORD>(*dataSize);
    int32_t rc = CopyValue(*value, reinterpret_cast<BYTE*>(data), &size);
    *dataSize = static_cast<int32_t>(size);
    return rc;
  } catch (...) {
    return ERROR_OUTOFMEMORY;
  }
}

}  // namespace tolvane
