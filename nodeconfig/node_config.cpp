#include "nodeconfig/node_config.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "nodeconfig/settings.h"
#include "text/dictionary.h"
#include "tolvane/result_codes.h"
#include "tolvane/settings.h"
#include "tolvane/text_field.h"

namespace {

using tolvane::kConfigNotFound;
using tolvane::kOk;
using tolvane::kShortRead;

constexpr short kPathBuffer = 260;

constexpr ColumnEntry kDefaultEntries[kColumnEntries] = {
    {1, 11, 10},  {1, 0, 10},   {1, 22, 10},  {1, 33, 30},  {1, 64, 7},   {1, 72, 13},
    {1, 86, 4},   {1, 91, 39},  {0, 132, 80}, {0, 213, 80}, {0, 294, 10}, {0, 305, 10},
    {0, 316, 10}, {0, 327, 10}, {0, 338, 10}, {0, 349, 10}, {0, 360, 10}, {0, 371, 10}};
constexpr int16_t kDefaultOrder[kOldColumnEntries] = {1, 0, 2, 3, 4, 5, 6, 7};

// Options and queue size an old file's slot has until the file says otherwise.
constexpr int16_t kDefaultOptions = 132;
constexpr int16_t kDefaultQueueSize = 100;
constexpr int16_t kSummaryQueueSize = 200;
constexpr int16_t kDefaultTail = 132;
constexpr short kPrinterBaseMessage = 100;

std::mutex g_configMutex;
AlarmServicesConfig g_config{};  // the last query's reading

struct FileCloser {
  std::FILE* f;
  ~FileCloser() {
    if (f) std::fclose(f);
  }
};

// One record; *length is its length field (0 when unread).
short ReadRecord(std::FILE* file, void* dest, long offset, int maximum, unsigned* length) {
  *length = 0;
  if (!file || !dest || maximum <= 0 || offset < 0) return kShortRead;
  unsigned char head[4];
  if (std::fseek(file, offset, SEEK_SET) != 0 || std::fread(head, 1, 4, file) != 4) {
    return kShortRead;
  }
  *length = static_cast<unsigned>(head[0]) | static_cast<unsigned>(head[1]) << 8;
  std::size_t want = std::min<std::size_t>(*length, static_cast<std::size_t>(maximum));
  if (std::fseek(file, offset, SEEK_SET) != 0 || std::fread(dest, 1, want, file) != want) {
    return kShortRead;
  }
  return kOk;
}

// The count, the service records and the trailer of a section in either
// layout. Records past the slots are skipped so that the trailer is found.
template <class Record, class Trailer>
short ReadSection(std::FILE* file, long offset, Record* slots, Trailer* trailer) {
  unsigned char countBytes[2];
  if (offset < 0 || std::fseek(file, offset, SEEK_SET) != 0 ||
      std::fread(countBytes, 1, 2, file) != 2) {
    return kShortRead;
  }
  auto count = static_cast<int16_t>(countBytes[0] | countBytes[1] << 8);
  long pos = offset + 2;
  unsigned length = 0;
  for (int i = 0; i < count; ++i) {
    unsigned char skipped[4];
    short rc = i < kServiceSlots
                   ? ReadRecord(file, &slots[i], pos, static_cast<int>(sizeof(Record)), &length)
                   : ReadRecord(file, skipped, pos, static_cast<int>(sizeof skipped), &length);
    if (rc != kOk) return rc;
    pos += static_cast<long>(length);
  }
  return ReadRecord(file, trailer, pos, static_cast<int>(sizeof(Trailer)), &length);
}

OldColumnLayout OldDefaultLayout() {
  OldColumnLayout layout{};
  for (int i = 0; i < kOldColumnEntries; ++i) {
    layout.entries[i] = kDefaultEntries[i];
    layout.order[i] = kDefaultOrder[i];
  }
  layout.last = 1;
  return layout;
}

ColumnLayout Convert(const OldColumnLayout& old) {
  ColumnLayout layout{};
  for (int i = 0; i < kColumnEntries; ++i) {
    layout.entries[i] = i < kOldColumnEntries ? old.entries[i] : kDefaultEntries[i];
    layout.order[i] = i < kOldColumnEntries ? old.order[i] : int16_t{-1};
  }
  layout.last = old.last;
  return layout;
}

AlarmServiceRecord Convert(const OldAlarmServiceRecord& old) {
  AlarmServiceRecord rec{};
  rec.length = static_cast<int16_t>(sizeof(AlarmServiceRecord));
  // Everything from the mask to the title is the same in both layouts.
  constexpr std::size_t kCommon = offsetof(AlarmServiceRecord, layoutA) - 2;
  static_assert(kCommon == 89 && offsetof(OldAlarmServiceRecord, layoutA) - 2 == kCommon);
  std::memcpy(reinterpret_cast<char*>(&rec) + 2, reinterpret_cast<const char*>(&old) + 2, kCommon);
  rec.layoutA = Convert(old.layoutA);
  rec.layoutB = Convert(old.layoutB);
  rec.tail = old.tail;
  return rec;
}

AlarmSectionTrailer Convert(const OldAlarmSectionTrailer& old) {
  AlarmSectionTrailer t{};
  t.length = static_cast<int16_t>(sizeof(AlarmSectionTrailer));
  t.servicesMask = old.servicesMask;
  t.field6 = old.field6;
  std::memcpy(t.area8, old.area8, sizeof t.area8);
  t.field48 = old.field48;
  t.layout = Convert(old.layout);
  t.fieldAfterLayout = old.fieldAfterLayout;
  t.fieldAfterLayout2 = old.fieldAfterLayout2;
  t.embeddedHead = old.embeddedHead;
  std::memcpy(t.embeddedBytes, old.embeddedBytes, sizeof t.embeddedBytes);
  t.embedded = Convert(old.embedded);
  std::memcpy(t.areaAfterRecord, old.areaAfterRecord, sizeof t.areaAfterRecord);
  t.end = old.end;
  return t;
}

// Reads an old-layout section over defaults and converts it into `config`.
// REQUIRES: `config` was just cleared, so the fields an old slot carries over
// from it (its name, the last int16 of its second layout) start at zero.
short ReadOldSection(std::FILE* file, long offset, AlarmServicesConfig* config) {
  OldAlarmServicesConfig workCopy{};
  OldAlarmServicesConfig* work = &workCopy;

  char base[32];
  if (!varn_error_text(kPrinterBaseMessage, base, static_cast<short>(sizeof base))) {
    tolvane::CopyText(base, sizeof base, "PRINTER");
  }

  for (int i = 0; i < kServiceSlots; ++i) {
    OldAlarmServiceRecord& slot = work->slots[i];
    slot = OldAlarmServiceRecord{};
    auto mask = static_cast<int16_t>(1 << i);
    slot.serviceMask = mask;
    bool summary = mask == tolvane::kSummaryServiceMask;
    slot.options = summary ? int16_t{0} : kDefaultOptions;
    slot.queueSize = summary ? kSummaryQueueSize : kDefaultQueueSize;
    const char* title = fls_find_dct_text(varn_dct_alm_titles_table(), mask);
    tolvane::CopyText(slot.title, sizeof slot.title, title ? title : "");
    slot.layoutA = OldDefaultLayout();
    slot.layoutB = OldDefaultLayout();
    slot.tail = kDefaultTail;
    tolvane::SetFieldText(slot.name, tolvane::FieldText(config->slots[i].name));
    slot.layoutB.last = config->slots[i].layoutB.last;
    if (mask <= 8) {
      std::string name = std::string(tolvane::FieldText(base)) + "_" + std::to_string(i);
      tolvane::SetFieldText(slot.name, name);
    }
  }

  short rc = ReadSection(file, offset, work->slots, &work->trailer);
  // Whatever was read, the structure gets the converted whole.
  for (int i = 0; i < kServiceSlots; ++i) config->slots[i] = Convert(work->slots[i]);
  config->trailer = Convert(work->trailer);
  return rc;
}

}  // namespace

namespace tolvane {

AlarmServicesConfig LastAlarmServices() {
  std::lock_guard lock(g_configMutex);
  return g_config;
}

}  // namespace tolvane

short node_config_path(char* dest, short size) {
  if (!dest || size <= 0) return kConfigNotFound;
  dest[0] = '\0';
  char setting[kPathBuffer];
  if (read_project_setting("VARNFILE", setting, kPathBuffer) != kOk) return kConfigNotFound;
  if (compose_path(dest, "", setting, "VARN", size) != kOk) return kConfigNotFound;
  return kOk;
}

std::FILE* open_node_config() {
  char path[kPathBuffer];
  if (node_config_path(path, kPathBuffer) != kOk) return nullptr;
  std::string native = tolvane::NativePath(path);
  if (native.empty()) return nullptr;
  return std::fopen(native.c_str(), "rb");
}

short read_config_record(std::FILE* file, void* dest, long offset, int maximum) {
  unsigned length = 0;
  return ReadRecord(file, dest, offset, maximum, &length);
}

short read_alarm_services(AlarmServicesConfig* config) {
  if (!config) return kConfigNotFound;
  std::memset(static_cast<void*>(config), 0, sizeof *config);
  try {
    FileCloser file{open_node_config()};
    if (!file.f) return kConfigNotFound;
    NodeConfigHeader header{};
    unsigned length = 0;
    if (ReadRecord(file.f, &header, 0, tolvane::kHeaderMaximum, &length) != kOk) return kShortRead;
    if (header.version >= tolvane::kCurrentConfigVersion) {
      return ReadSection(file.f, header.alarmSectionOffset, config->slots, &config->trailer);
    }
    return ReadOldSection(file.f, header.alarmSectionOffset, config);
  } catch (...) {
    return kConfigNotFound;  // out of memory: as if the file could not be opened
  }
}

short read_summary_option(short* flagOut) {
  if (flagOut) *flagOut = 0;
  // Read privately, then publish: concurrent queries never write one copy.
  AlarmServicesConfig localCopy;
  AlarmServicesConfig* local = &localCopy;
  short rc = read_alarm_services(local);
  {
    std::lock_guard lock(g_configMutex);
    g_config = *local;
  }
  if (rc != kOk) return rc;
  if ((local->trailer.servicesMask & tolvane::kSummaryServiceMask) &&
      (local->slots[tolvane::kSummaryServiceSlot].options & tolvane::kSummaryOptionBit)) {
    if (flagOut) *flagOut = 1;
  }
  return kOk;
}

short varn_error_text(short number, char* dest, short destLen) {
  int handle = -1;
  if (fls_txtopen("VARNERROR", &handle) != nullptr) return 0;
  fls_txtget(&handle, number, dest, destLen, tolvane::kSeverityNone);
  fls_txtclose(&handle);
  return 1;
}
