// The registry calls the library makes, served from a text file a person can
// edit: "registry.ini" in the settings directory (tolvane/settings.h). Each
// section is a full key path ("[HKEY_CURRENT_USER\Software\...]"), each line
// "name=value" a value of that key; "@" names the key's default value.
//
// The same INI reader serves the profile strings (platform/profile.h).
// Every call may be made from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace tolvane {

using DWORD = uint32_t;
using BYTE = unsigned char;

struct HKEY__;
using HKEY = HKEY__*;

// The predefined roots (their numbers are the system's).
inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u));

inline constexpr int32_t ERROR_SUCCESS = 0;
inline constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr int32_t ERROR_INVALID_HANDLE = 6;
inline constexpr int32_t ERROR_OUTOFMEMORY = 14;
inline constexpr int32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr int32_t ERROR_MORE_DATA = 234;

inline constexpr DWORD REG_SZ = 1;

// Opens `subKey` (null or empty: the key itself) under `key`; a key exists
// when the file has its section or a section below it. Close with RegCloseKey.
int32_t RegOpenKeyA(HKEY key, const char* subKey, HKEY* result);
int32_t RegCloseKey(HKEY key);

// Reads the value `valueName` (null or empty: the default value) of `key`.
// *dataSize is the buffer's size in, the text's size with its terminator
// out. A buffer too small gives ERROR_MORE_DATA and no text; a null `data`
// only reports the size. The type is always REG_SZ.
int32_t RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* dataSize);

// Reads the default value of `subKey` (null or empty: of `key` itself), with
// the size rules of RegQueryValueExA. A key without a default value gives
// ERROR_FILE_NOT_FOUND.
int32_t RegQueryValueA(HKEY key, const char* subKey, char* data, int32_t* dataSize);

// Where the registry file is read from now.
std::string RegistryFilePath();

// --- the INI reader ---

// A parsed INI file: "[section]" headers, "name=value" lines, comments
// starting with ';' or '#'. Section and value names compare without case.
// A value is the rest of its line without surrounding blanks; one pair of
// enclosing double quotes is removed, which keeps blanks inside them. Of
// repeated names (and repeated sections) the first value wins.
class IniFile {
 public:
  // A missing or unreadable file parses as empty.
  static std::shared_ptr<const IniFile> Load(const std::string& path);
  static IniFile Parse(std::string_view text);

  // The value, or null.
  const std::string* Find(std::string_view section, std::string_view name) const;
  bool HasSection(std::string_view section) const;
  // True when `section` or any section below it ("section\...") exists.
  bool HasSectionOrBelow(std::string_view section) const;

 private:
  using Values = std::map<std::string, std::string>;  // upper-cased name -> value
  std::map<std::string, Values> sections_;            // upper-cased section -> values
};

// Path of a settings file named `file`: absolute paths stay; other names
// are taken relative to the settings directory. Backslashes become '/'.
std::string SettingsFilePath(const char* file);

}  // namespace tolvane
