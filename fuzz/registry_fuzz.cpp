// Registry and profile files a person edits: parsed, then every lookup the
// library makes, with names, sizes and path parts taken from the input.
//
// Input: a first line of up to four names separated by '|', then the file
// (used as both "registry.ini" and "win.ini").
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "nodeconfig/settings.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "tolvane/result_codes.h"
#include "tolvane/settings.h"

namespace {

using namespace tolvane;
using tolvane::fuzz::ExactText;

std::unique_ptr<char[]> Buffer(std::size_t size) {
  std::unique_ptr<char[]> b(new char[size ? size : 1]);
  std::memset(b.get(), 'x', size ? size : 1);
  return b;
}

// The size rules of both query calls, for one answer.
void CheckQuery(int32_t rc, const char* data, DWORD bufferSize, DWORD reported) {
  TOLVANE_FUZZ_CHECK(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND || rc == ERROR_MORE_DATA);
  if (rc == ERROR_SUCCESS && data) {
    TOLVANE_FUZZ_CHECK(reported >= 1 && reported <= bufferSize);
    // A value may hold a NUL of its own (the file's bytes as they stand);
    // the reported size still ends on the terminator.
    TOLVANE_FUZZ_CHECK(data[reported - 1] == '\0');
  }
  if (rc == ERROR_MORE_DATA) TOLVANE_FUZZ_CHECK(reported > bufferSize);
}

void QueryNamed(HKEY key, const char* name, DWORD size) {
  auto data = Buffer(size);
  DWORD reported = size;
  DWORD type = 0;
  int32_t rc =
      RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.get()), &reported);
  CheckQuery(rc, data.get(), size, reported);
  if (rc == ERROR_SUCCESS) TOLVANE_FUZZ_CHECK(type == REG_SZ);
  // With no buffer the size alone is reported, and it is the size needed.
  DWORD needed = 0;
  int32_t sizeOnly = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &needed);
  if (rc == ERROR_SUCCESS) TOLVANE_FUZZ_CHECK(sizeOnly == ERROR_SUCCESS && needed == reported);
}

void QueryDefault(HKEY key, const char* subKey, int32_t size) {
  auto data = Buffer(static_cast<std::size_t>(size));
  int32_t reported = size;
  int32_t rc = RegQueryValueA(key, subKey, data.get(), &reported);
  CheckQuery(rc, data.get(), static_cast<DWORD>(size), static_cast<DWORD>(reported));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  tolvane::fuzz::SharedNode();
  static const std::string dir = tolvane::fuzz::ScratchDirectory();
  tolvane::fuzz::Reader in(data, size);
  std::string_view header = in.Piece('\n');
  std::string_view file = in.Rest();

  std::vector<std::string> names;
  while (names.size() < 4) {
    std::size_t bar = header.find('|');
    std::string_view piece = header.substr(0, bar);
    names.emplace_back(piece.substr(0, piece.find('\0')));
    if (bar == std::string_view::npos) break;
    header.remove_prefix(bar + 1);
  }
  names.resize(4);
  // Buffer sizes from the names' lengths keep every size reachable.
  const DWORD size0 = static_cast<DWORD>(names[0].size() % 300);
  const DWORD size1 = static_cast<DWORD>(names[1].size() % 40);

  // The parser alone.
  IniFile ini = IniFile::Parse(file);
  for (const std::string& n : names) {
    (void)ini.Find(n, n);
    if (ini.HasSection(n)) TOLVANE_FUZZ_CHECK(ini.HasSectionOrBelow(n));
  }

  tolvane::fuzz::WriteFile(dir + "/registry.ini", file.data(), file.size());
  tolvane::fuzz::WriteFile(dir + "/win.ini", file.data(), file.size());

  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kProjectPathsKey, &key) == ERROR_SUCCESS) {
    for (const std::string& n : names) {
      QueryNamed(key, ExactText(n).get(), size0);
      QueryNamed(key, ExactText(n).get(), 260);
    }
    QueryNamed(key, nullptr, size1);
    TOLVANE_FUZZ_CHECK(RegCloseKey(key) == ERROR_SUCCESS);
  }
  if (RegOpenKeyA(HKEY_CLASSES_ROOT, kMachineSettingsKey, &key) == ERROR_SUCCESS) {
    for (const std::string& n : names)
      QueryDefault(key, ExactText(n).get(), static_cast<int32_t>(size0));
    QueryDefault(key, nullptr, 260);
    TOLVANE_FUZZ_CHECK(RegCloseKey(key) == ERROR_SUCCESS);
  }
  // Keys named by the input, below each root.
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE}) {
    HKEY sub = nullptr;
    int32_t rc = RegOpenKeyA(root, ExactText(names[0]).get(), &sub);
    TOLVANE_FUZZ_CHECK(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND);
    if (rc != ERROR_SUCCESS) continue;
    QueryNamed(sub, ExactText(names[1]).get(), size0);
    QueryDefault(sub, ExactText(names[2]).get(), static_cast<int32_t>(size1));
    TOLVANE_FUZZ_CHECK(RegCloseKey(sub) == ERROR_SUCCESS);
  }

  // The library's own lookups.
  for (short bufSize : {static_cast<short>(size0 + 1), short{260}}) {
    auto setting = Buffer(static_cast<std::size_t>(bufSize));
    short rc = read_project_setting(ExactText(names[0]).get(), setting.get(), bufSize);
    TOLVANE_FUZZ_CHECK(rc == kOk || rc == kFailed);
    if (rc == kOk)
      TOLVANE_FUZZ_CHECK(std::memchr(setting.get(), '\0', static_cast<std::size_t>(bufSize)));
  }
  {
    auto out = Buffer(size1 + 1);
    uint32_t n = GetPrivateProfileStringA(ExactText(names[0]).get(), ExactText(names[1]).get(),
                                          "dflt", out.get(), size1 + 1, "win.ini");
    TOLVANE_FUZZ_CHECK(n <= size1 && std::strlen(out.get()) == n);
  }
  for (short pathSize : {static_cast<short>(size0), short{260}}) {
    auto path = Buffer(static_cast<std::size_t>(pathSize));
    short rc = compose_path(path.get(), ExactText(names[1]).get(), ExactText(names[2]).get(),
                            ExactText(names[3]).get(), pathSize);
    TOLVANE_FUZZ_CHECK(rc == kOk || rc == kPathTooLong);
    if (pathSize > 0) {
      std::size_t len = ::strnlen(path.get(), static_cast<std::size_t>(pathSize));
      TOLVANE_FUZZ_CHECK(len < static_cast<std::size_t>(pathSize));
      if (rc == kPathTooLong) TOLVANE_FUZZ_CHECK(len == 0);
      if (rc == kOk) (void)NativePath(path.get());
    }
  }
  (void)NativePath(names[0]);
  return 0;
}
