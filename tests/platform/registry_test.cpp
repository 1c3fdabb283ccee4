#include "platform/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/profile.h"
#include "support/node_config_writer.h"
#include "tolvane/codepage.h"
#include "tolvane/settings.h"

namespace tolvane {
namespace {

using testing::SettingsSandbox;

constexpr const char* kRegistry =
    "; project settings\n"
    "[HKEY_CURRENT_USER\\Software\\Kestrow\\Prandel Velt\\ProjectPaths]\n"
    "VARNFILE = C:\\Config\\NODE1\n"
    "Padded = \"  two blanks  \"\n"
    "varnfile = second one loses\n"
    "\n"
    "[HKEY_CLASSES_ROOT\\Software\\Tarnwick\\VARNFILE]\n"
    "@=D:\\Machine\\NODE2\n"
    "Named=not the default\n";

std::string QueryEx(HKEY key, const char* name, DWORD size = 260, int32_t* rc = nullptr) {
  std::vector<BYTE> buf(size + 1, 0xEE);
  DWORD len = size;
  int32_t r = RegQueryValueExA(key, name, nullptr, nullptr, buf.data(), &len);
  if (rc) *rc = r;
  return r == ERROR_SUCCESS ? std::string(reinterpret_cast<char*>(buf.data())) : std::string();
}

TEST(RegistryFile, OpensKeysThatHaveASectionOrOneBelowIt) {
  SettingsSandbox box;
  box.WriteRegistry(kRegistry);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "Software\\Tarnwick", &key), ERROR_SUCCESS);
  ASSERT_NE(key, nullptr);
  HKEY sub = nullptr;
  EXPECT_EQ(RegOpenKeyA(key, "varnfile", &sub), ERROR_SUCCESS) << "key names ignore case";
  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "Software\\Tarn", &key), ERROR_FILE_NOT_FOUND)
      << "a prefix of a key name is not a key";
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\Tarnwick", &key), ERROR_FILE_NOT_FOUND)
      << "the classes root is not the machine root";
  EXPECT_EQ(key, nullptr);
}

TEST(RegistryFile, ReadsNamedAndDefaultValuesUnderTheSizeRules) {
  SettingsSandbox box;
  box.WriteRegistry(kRegistry);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Kestrow\\Prandel Velt\\ProjectPaths", &key),
            ERROR_SUCCESS);
  EXPECT_EQ(QueryEx(key, "VarnFile"), "C:\\Config\\NODE1") << "first of repeated names wins";
  EXPECT_EQ(QueryEx(key, "Padded"), "  two blanks  ");

  DWORD type = 0, len = 0;
  EXPECT_EQ(RegQueryValueExA(key, "VARNFILE", nullptr, &type, nullptr, &len), ERROR_SUCCESS);
  EXPECT_EQ(len, 16u) << "the size counts the terminator";
  EXPECT_EQ(type, REG_SZ);

  int32_t rc = 0;
  EXPECT_EQ(QueryEx(key, "VARNFILE", 15, &rc), "");
  EXPECT_EQ(rc, ERROR_MORE_DATA);
  EXPECT_EQ(QueryEx(key, "VARNFILE", 16, &rc), "C:\\Config\\NODE1");
  EXPECT_EQ(QueryEx(key, "Missing", 16, &rc), "");
  EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);

  ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "Software\\Tarnwick", &key), ERROR_SUCCESS);
  char buf[64];
  int32_t size = sizeof buf;
  EXPECT_EQ(RegQueryValueA(key, "VARNFILE", buf, &size), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "D:\\Machine\\NODE2");
  EXPECT_EQ(size, 17);
  size = 5;
  EXPECT_EQ(RegQueryValueA(key, "VARNFILE", buf, &size), ERROR_MORE_DATA);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueA(key, "Named", buf, &size), ERROR_FILE_NOT_FOUND)
      << "a named value is not a subkey";
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueA(key, nullptr, buf, &size), ERROR_FILE_NOT_FOUND)
      << "the key itself has no default value";
  RegCloseKey(key);
}

TEST(RegistryFile, BadHandlesAndAMissingFileFailQuietly) {
  SettingsSandbox box;  // no registry file at all
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software", nullptr), ERROR_INVALID_PARAMETER);

  box.WriteRegistry(kRegistry);
  ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "Software\\Tarnwick", &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "a closed key is gone";
  DWORD len = 10;
  BYTE buf[10];
  EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, buf, &len), ERROR_INVALID_HANDLE);
}

TEST(RegistryFile, AnOpenKeyKeepsItsViewAndTheNextOpenSeesEdits) {
  SettingsSandbox box;
  box.WriteRegistry("[HKEY_CURRENT_USER\\K]\nA=old\n");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "K", &key), ERROR_SUCCESS);
  box.WriteRegistry("[HKEY_CURRENT_USER\\K]\nA=new\n");
  EXPECT_EQ(QueryEx(key, "A"), "old");
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "K", &key), ERROR_SUCCESS);
  EXPECT_EQ(QueryEx(key, "A"), "new");
  RegCloseKey(key);
}

TEST(RegistryFile, ConcurrentReadersWhileTheFileIsReplaced) {
  SettingsSandbox box;
  box.WriteRegistry("[HKEY_CURRENT_USER\\K]\nA=one\n");
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_CURRENT_USER, "K", &key) != ERROR_SUCCESS) {
          ++bad;
          continue;
        }
        std::string v = QueryEx(key, "A");
        if (v != "one" && v != "two") ++bad;
        if (RegCloseKey(key) != ERROR_SUCCESS) ++bad;
      }
    });
  }
  std::thread writer([&] {
    for (int i = 0; !stop && i < 200; ++i) {
      // Replaced whole, as an editor saving the file would.
      box.WriteFile("registry.tmp",
                    i % 2 ? "[HKEY_CURRENT_USER\\K]\nA=one\n" : "[HKEY_CURRENT_USER\\K]\nA=two\n");
      std::rename(box.Path("registry.tmp").c_str(), box.Path("registry.ini").c_str());
    }
  });
  for (auto& r : readers) r.join();
  stop = true;
  writer.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(SettingsDirectory, HostSettingWinsOverEnvironmentWhichWinsOverHome) {
  std::string savedEnv =
      std::getenv("TOLVANE_SETTINGS_DIR") ? std::getenv("TOLVANE_SETTINGS_DIR") : "";
  std::string savedXdg = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
  std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";

  SetSettingsDirectory(nullptr);
  ::unsetenv("TOLVANE_SETTINGS_DIR");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/op", 1);
  EXPECT_EQ(SettingsDirectory(), "/home/op/.config/tolvane");
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(SettingsDirectory(), "/xdg/tolvane");
  ::setenv("TOLVANE_SETTINGS_DIR", "/etc/tolvane/", 1);
  EXPECT_EQ(SettingsDirectory(), "/etc/tolvane");
  EXPECT_EQ(RegistryFilePath(), "/etc/tolvane/registry.ini");
  SetSettingsDirectory("/srv/node1");
  EXPECT_EQ(SettingsDirectory(), "/srv/node1");
  EXPECT_EQ(SettingsFilePath("win.ini"), "/srv/node1/win.ini");
  EXPECT_EQ(SettingsFilePath("/abs/win.ini"), "/abs/win.ini");
  SetSettingsDirectory("");
  EXPECT_EQ(SettingsDirectory(), "/etc/tolvane");

  auto restore = [](const char* name, const std::string& v) {
    if (v.empty())
      ::unsetenv(name);
    else
      ::setenv(name, v.c_str(), 1);
  };
  restore("TOLVANE_SETTINGS_DIR", savedEnv);
  restore("XDG_CONFIG_HOME", savedXdg);
  restore("HOME", savedHome);
}

TEST(NativePathTest, BackslashesBecomeSlashesButNeverATrailByte) {
  EXPECT_EQ(NativePath("/data/nls\\VARNERROR.DLL"), "/data/nls/VARNERROR.DLL");
  EXPECT_EQ(NativePath("C:\\Config\\NODE1.VARN"), "C:/Config/NODE1.VARN");
  ASSERT_TRUE(SetAnsiCodePage(932));
  // 0x95 0x5C is one double-byte character.
  EXPECT_EQ(NativePath("a\\\x95\x5C\\b"), "a/\x95\x5C/b");
  SetAnsiCodePage(1252);
  EXPECT_EQ(NativePath("a\\\x95\x5C\\b"), "a/\x95//b");
}

TEST(ProfileStrings, ReadFromTheSettingsDirectoryWithDefaultAndCut) {
  SettingsSandbox box;
  box.WriteFile("win.ini", "[intl]\nsDate=/\niDate = 1\n[other]\nsDate=-\n");
  char out[16];
  EXPECT_EQ(GetPrivateProfileStringA("intl", "sDate", ".", out, sizeof out, "win.ini"), 1u);
  EXPECT_STREQ(out, "/");
  EXPECT_EQ(GetPrivateProfileStringA("INTL", "IDATE", "", out, sizeof out, "win.ini"), 1u);
  EXPECT_STREQ(out, "1");
  EXPECT_EQ(GetPrivateProfileStringA("intl", "sTime", ":", out, sizeof out, "win.ini"), 1u);
  EXPECT_STREQ(out, ":");
  EXPECT_EQ(GetPrivateProfileStringA("intl", "sDate", "longdefault", out, 5, "nofile.ini"), 4u);
  EXPECT_STREQ(out, "long");
  EXPECT_EQ(GetPrivateProfileStringA("intl", "sDate", nullptr, out, sizeof out, "nofile.ini"), 0u);
  EXPECT_STREQ(out, "");
}

}  // namespace
}  // namespace tolvane
