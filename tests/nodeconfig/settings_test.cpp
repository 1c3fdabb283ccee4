#include "nodeconfig/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/node_config_writer.h"
#include "tolvane/codepage.h"
#include "tolvane/result_codes.h"

namespace tolvane {
namespace {

using testing::SettingsSandbox;

constexpr const char* kUser =
    "[HKEY_CURRENT_USER\\Software\\Kestrow\\Prandel Velt\\ProjectPaths]\n";
constexpr const char* kMachine = "[HKEY_CLASSES_ROOT\\Software\\Tarnwick]\n";

std::string Setting(const char* name, short size = 260, short* rc = nullptr) {
  char buf[512] = "";
  short r = read_project_setting(name, buf, size);
  if (rc) *rc = r;
  return r == kOk ? std::string(buf) : std::string("<") + std::to_string(r) + ">";
}

TEST(ReadProjectSetting, CurrentUserFirstThenTheMachineWideSubkeyDefault) {
  SettingsSandbox box;
  box.WriteRegistry(std::string(kUser) + "VARNFILE=/user/node\n" + kMachine +
                    "VARNFILE=named value under the key, never read\n"
                    "[HKEY_CLASSES_ROOT\\Software\\Tarnwick\\VARNFILE]\n@=/machine/node\n"
                    "[HKEY_CLASSES_ROOT\\Software\\Tarnwick\\ONLYMACHINE]\n@=/machine/only\n"
                    "[HKEY_CLASSES_ROOT\\Software\\Tarnwick\\NODEFAULT]\nx=y\n"
                    "[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\LMONLY]\n@=/wrong/root\n");
  EXPECT_EQ(Setting("VARNFILE"), "/user/node");
  EXPECT_EQ(Setting("ONLYMACHINE"), "/machine/only");
  EXPECT_EQ(Setting("NODEFAULT"), "<100>");
  EXPECT_EQ(Setting("LMONLY"), "<100>") << "the machine root is never read";
  EXPECT_EQ(Setting("MISSING"), "<100>");
  EXPECT_EQ(Setting(""), "<100>");
  EXPECT_EQ(Setting(nullptr), "<100>");
  char buf[8];
  EXPECT_EQ(read_project_setting("VARNFILE", nullptr, 8), kFailed);
  EXPECT_EQ(read_project_setting("VARNFILE", buf, 0), kFailed);
}

TEST(ReadProjectSetting, AUserValueTooLongForTheBufferFallsToTheMachineKey) {
  SettingsSandbox box;
  box.WriteRegistry(std::string(kUser) + "VARNFILE=/a/rather/long/user/path\n" +
                    "[HKEY_CLASSES_ROOT\\Software\\Tarnwick\\VARNFILE]\n@=/short\n");
  EXPECT_EQ(Setting("VARNFILE", 12), "/short");
  EXPECT_EQ(Setting("VARNFILE", 6), "<100>") << "neither fits with its terminator";
  EXPECT_EQ(Setting("VARNFILE", 7), "/short");
}

TEST(ReadProjectSetting, WithoutTheUserKeyTheMachineKeyIsRead) {
  SettingsSandbox box;
  box.WriteRegistry("[HKEY_CLASSES_ROOT\\Software\\Tarnwick\\VARNFILE]\n@=C:\\Config\\NODE1\n");
  EXPECT_EQ(Setting("VARNFILE"), "C:\\Config\\NODE1");
  box.WriteRegistry(std::string(kUser) + "OTHER=1\n");
  EXPECT_EQ(Setting("VARNFILE"), "<100>");
}

std::string Compose(const char* dir, const char* name, const char* ext, short size = 260,
                    short* rc = nullptr) {
  char dest[300];
  std::memset(dest, 'x', sizeof dest);
  short r = compose_path(dest, dir, name, ext, size);
  if (rc) *rc = r;
  if (r != kOk) return dest[0] == '\0' ? "<" + std::to_string(r) + ">" : "<not emptied>";
  return dest;
}

TEST(ComposePath, JoinsDirectoryNameAndExtension) {
  EXPECT_EQ(Compose("C:\\Data", "NODE1", "VARN"), "C:\\Data\\NODE1.VARN");
  EXPECT_EQ(Compose("C:\\Data", "NODE1", ".VARN"), "C:\\Data\\NODE1.VARN");
  EXPECT_EQ(Compose("C:\\Data", "NODE1.CFG", "VARN"), "C:\\Data\\NODE1.CFG");
  EXPECT_EQ(Compose("C:\\Data", "D:\\X\\NODE1", "VARN"), "D:\\X\\NODE1.VARN");
  EXPECT_EQ(Compose("C:\\Data", "\\X\\NODE1", "VARN"), "\\X\\NODE1.VARN");
  EXPECT_EQ(Compose("C:\\", "NODE1", "VARN"), "C:\\NODE1.VARN");
  EXPECT_EQ(Compose("C:", "NODE1", "VARN"), "C:NODE1.VARN");
  EXPECT_EQ(Compose("", "NODE1", "VARN"), "NODE1.VARN");
  EXPECT_EQ(Compose(nullptr, "NODE1", "VARN"), "NODE1.VARN");
  EXPECT_EQ(Compose("/data/nls", "VARNERROR", ".DLL"), "/data/nls\\VARNERROR.DLL");
  EXPECT_EQ(Compose("C:\\Data", "NODE1", nullptr), "C:\\Data\\NODE1");
  EXPECT_EQ(Compose("C:\\Data", "NODE1", ""), "C:\\Data\\NODE1");
}

TEST(ComposePath, RefusesPartsThatDoNotFitAndLeavesDestEmpty) {
  // 7 + 5 + 4 characters: the parts plus one must stay below the size.
  EXPECT_EQ(Compose("C:\\Data", "NODE1", "VARN", 17), "<1301>");
  // The extension counts even when the name's own one replaces it.
  EXPECT_EQ(Compose("C:\\Data", "NODE1.CF", "VARN", 20), "<1301>");
  EXPECT_EQ(Compose("C:\\Data", "NODE1.CF", "VARN", 21), "C:\\Data\\NODE1.CF");
  // 18 passes that count, but the separator and the point need 19 bytes.
  EXPECT_EQ(Compose("C:\\Data", "NODE1", "VARN", 18), "<1301>");
  EXPECT_EQ(Compose("C:\\Data", "NODE1", "VARN", 19), "C:\\Data\\NODE1.VARN");
  EXPECT_EQ(Compose("C:\\Data", nullptr, "VARN"), "<1301>");
  EXPECT_EQ(compose_path(nullptr, "a", "b", "c", 10), kPathTooLong);
}

TEST(ComposePath, DoubleByteCharactersAreNeverSeparatorsColonsOrPoints) {
  ASSERT_TRUE(SetAnsiCodePage(932));
  // A directory ending in a double-byte character whose second byte is '\'.
  EXPECT_EQ(Compose("C:\\\x95\x5C", "NODE1", "VARN"), "C:\\\x95\x5C\\NODE1.VARN");
  // A name whose first character's second byte is ':' is not a drive.
  EXPECT_EQ(Compose("C:\\Data",
                    "\x81\x3A"
                    "ABC",
                    "VARN"),
            "C:\\Data\\\x81\x3A"
            "ABC.VARN");
  // A second byte that is '.' does not make an extension.
  EXPECT_EQ(Compose("C:\\Data",
                    "\x81\x2E"
                    "AB",
                    "VARN"),
            "C:\\Data\\\x81\x2E"
            "AB.VARN");
  SetAnsiCodePage(1252);
  EXPECT_EQ(Compose("C:\\\x95\x5C", "NODE1", "VARN"), "C:\\\x95\x5CNODE1.VARN");
  EXPECT_EQ(Compose("C:\\Data",
                    "\x81\x2E"
                    "AB",
                    "VARN"),
            "C:\\Data\\\x81\x2E"
            "AB");
}

}  // namespace
}  // namespace tolvane
