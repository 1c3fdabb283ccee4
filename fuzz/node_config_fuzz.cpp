// Node configuration files: found through the setting "VARNFILE" of a
// private settings directory and read whole (current and old layouts), and
// single records read straight from the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "nodeconfig/node_config.h"
#include "tolvane/result_codes.h"

namespace {

const std::string& ConfigPath() {
  static const std::string path = [] {
    const std::string& dir = tolvane::fuzz::ScratchDirectory();
    std::string file = dir + "/node1.VARN";
    std::string registry =
        "[HKEY_CURRENT_USER\\Software\\Kestrow\\Prandel Velt\\ProjectPaths]\n"
        "VARNFILE=" +
        file + "\n";
    tolvane::fuzz::WriteFile(dir + "/registry.ini", registry.data(), registry.size());
    return file;
  }();
  return path;
}

bool KnownStatus(short rc) {
  return rc == tolvane::kOk || rc == tolvane::kConfigNotFound || rc == tolvane::kShortRead;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  tolvane::fuzz::SharedNode();
  tolvane::fuzz::WriteFile(ConfigPath(), data, size);

  auto config = std::make_unique<AlarmServicesConfig>();
  short rc = read_alarm_services(config.get());
  TOLVANE_FUZZ_CHECK(rc == tolvane::kOk || rc == tolvane::kShortRead);

  short flag = 7;
  short rcOption = read_summary_option(&flag);
  TOLVANE_FUZZ_CHECK(rcOption == rc);
  TOLVANE_FUZZ_CHECK(flag == 0 || flag == 1);
  if (rcOption != tolvane::kOk) TOLVANE_FUZZ_CHECK(flag == 0);
  // Reading the same file twice gives the same structure: nothing of an
  // earlier reading survives into a later one.
  AlarmServicesConfig last = tolvane::LastAlarmServices();
  TOLVANE_FUZZ_CHECK(std::memcmp(&last, config.get(), sizeof last) == 0);

  if (size == 0) return 0;
  std::FILE* f = ::fmemopen(const_cast<uint8_t*>(data), size, "rb");
  TOLVANE_FUZZ_CHECK(f != nullptr);
  long sectionOffset = 0;
  if (size >= 36) {
    int32_t v;
    std::memcpy(&v, data + 32, sizeof v);
    sectionOffset = v;
  }
  for (long offset : {0L, sectionOffset, sectionOffset + 2, static_cast<long>(size) - 2}) {
    for (int maximum :
         {tolvane::kHeaderMaximum, tolvane::kRecordMaximum, tolvane::kOldTrailerMaximum, 3}) {
      std::unique_ptr<unsigned char[]> dest(new unsigned char[static_cast<std::size_t>(maximum)]);
      TOLVANE_FUZZ_CHECK(KnownStatus(read_config_record(f, dest.get(), offset, maximum)));
    }
  }
  std::fclose(f);
  return 0;
}
