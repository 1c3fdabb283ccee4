// The node configuration file: its alarm-services section, read into the
// current layout (older files are converted), and the one answer the
// manager needs from it, whether the Alarm Summary Service has option bit 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "services/ulvoran.h"

#pragma pack(push, 1)

// One column of a display layout.
struct ColumnEntry {
  int16_t shown;   // 1 or 0
  int16_t column;  // start column
  int16_t width;
};

inline constexpr int kColumnEntries = 18;
inline constexpr int kOldColumnEntries = 8;

template <int N>
struct ColumnLayoutOf {
  ColumnEntry entries[N];
  int16_t order[N];  // entry indexes in column order; -1: no entry
  int16_t last;
};

using ColumnLayout = ColumnLayoutOf<kColumnEntries>;        // version 10
using OldColumnLayout = ColumnLayoutOf<kOldColumnEntries>;  // below 10

template <class Layout>
struct AlarmServiceRecordOf {
  int16_t length;
  int16_t serviceMask;  // 1 << slot
  int32_t field4;
  int16_t options;  // bit value 2: read by the summary query
  int16_t queueSize;
  int16_t field12;
  uint8_t field14[9];
  int16_t field23;
  char name[33];
  char title[33];
  Layout layoutA;
  Layout layoutB;
  int16_t tail;
};

using AlarmServiceRecord = AlarmServiceRecordOf<ColumnLayout>;
using OldAlarmServiceRecord = AlarmServiceRecordOf<OldColumnLayout>;

template <class Layout, class Record>
struct AlarmSectionTrailerOf {
  int16_t length;
  int32_t servicesMask;  // one bit per configured service
  int16_t field6;
  uint8_t area8[40];
  int32_t field48;
  Layout layout;
  int16_t fieldAfterLayout;
  int32_t fieldAfterLayout2;
  int16_t embeddedHead;
  uint8_t embeddedBytes[20];
  Record embedded;
  uint8_t areaAfterRecord[158];
  int16_t end;
};

using AlarmSectionTrailer = AlarmSectionTrailerOf<ColumnLayout, AlarmServiceRecord>;
using OldAlarmSectionTrailer = AlarmSectionTrailerOf<OldColumnLayout, OldAlarmServiceRecord>;

inline constexpr int kServiceSlots = 8;

struct AlarmServicesConfig {
  AlarmServiceRecord slots[kServiceSlots];
  AlarmSectionTrailer trailer;
};

struct OldAlarmServicesConfig {
  OldAlarmServiceRecord slots[kServiceSlots];
  OldAlarmSectionTrailer trailer;
};

// The file header record, read up to 64 bytes.
struct NodeConfigHeader {
  int16_t length;
  uint8_t field2[10];
  int16_t version;  // below 10: the old layout
  uint8_t field14[18];
  int32_t alarmSectionOffset;
  uint8_t field36[28];
};

#pragma pack(pop)

static_assert(sizeof(ColumnEntry) == 6);
static_assert(sizeof(ColumnLayout) == 146);
static_assert(sizeof(OldColumnLayout) == 66);
static_assert(offsetof(ColumnLayout, order) == 108);
static_assert(offsetof(ColumnLayout, last) == 144);

static_assert(sizeof(AlarmServiceRecord) == 385);
static_assert(offsetof(AlarmServiceRecord, serviceMask) == 2);
static_assert(offsetof(AlarmServiceRecord, field4) == 4);
static_assert(offsetof(AlarmServiceRecord, options) == 8);
static_assert(offsetof(AlarmServiceRecord, queueSize) == 10);
static_assert(offsetof(AlarmServiceRecord, field12) == 12);
static_assert(offsetof(AlarmServiceRecord, field14) == 14);
static_assert(offsetof(AlarmServiceRecord, field23) == 23);
static_assert(offsetof(AlarmServiceRecord, name) == 25);
static_assert(offsetof(AlarmServiceRecord, title) == 58);
static_assert(offsetof(AlarmServiceRecord, layoutA) == 91);
static_assert(offsetof(AlarmServiceRecord, layoutB) == 237);
static_assert(offsetof(AlarmServiceRecord, tail) == 383);

static_assert(sizeof(OldAlarmServiceRecord) == 225);
static_assert(offsetof(OldAlarmServiceRecord, layoutA) == 91);
static_assert(offsetof(OldAlarmServiceRecord, layoutB) == 157);
static_assert(offsetof(OldAlarmServiceRecord, tail) == 223);

static_assert(sizeof(AlarmSectionTrailer) == 771);
static_assert(offsetof(AlarmSectionTrailer, servicesMask) == 2);
static_assert(offsetof(AlarmSectionTrailer, field6) == 6);
static_assert(offsetof(AlarmSectionTrailer, area8) == 8);
static_assert(offsetof(AlarmSectionTrailer, field48) == 48);
static_assert(offsetof(AlarmSectionTrailer, layout) == 52);
static_assert(offsetof(AlarmSectionTrailer, fieldAfterLayout) == 198);
static_assert(offsetof(AlarmSectionTrailer, fieldAfterLayout2) == 200);
static_assert(offsetof(AlarmSectionTrailer, embeddedHead) == 204);
static_assert(offsetof(AlarmSectionTrailer, embedded) == 226);
static_assert(offsetof(AlarmSectionTrailer, areaAfterRecord) == 611);
static_assert(offsetof(AlarmSectionTrailer, end) == 769);

static_assert(sizeof(OldAlarmSectionTrailer) == 531);
static_assert(offsetof(OldAlarmSectionTrailer, layout) == 52);
static_assert(offsetof(OldAlarmSectionTrailer, fieldAfterLayout) == 118);
static_assert(offsetof(OldAlarmSectionTrailer, fieldAfterLayout2) == 120);
static_assert(offsetof(OldAlarmSectionTrailer, embeddedHead) == 124);
static_assert(offsetof(OldAlarmSectionTrailer, areaAfterRecord) == 371);
static_assert(offsetof(OldAlarmSectionTrailer, end) == 529);

static_assert(sizeof(AlarmServicesConfig) == 3851);
static_assert(offsetof(AlarmServicesConfig, trailer) == 3080);

static_assert(sizeof(NodeConfigHeader) == 64);
static_assert(offsetof(NodeConfigHeader, version) == 12);
static_assert(offsetof(NodeConfigHeader, alarmSectionOffset) == 32);

namespace tolvane {

inline constexpr int kCurrentConfigVersion = 10;
inline constexpr short kSummaryServiceMask = 16;
inline constexpr short kSummaryServiceSlot = 4;
inline constexpr short kSummaryOptionBit = 2;

// Most a reader takes of each record.
inline constexpr int kHeaderMaximum = 64;
inline constexpr int kRecordMaximum = 385;
inline constexpr int kTrailerMaximum = 771;
inline constexpr int kOldRecordMaximum = 225;
inline constexpr int kOldTrailerMaximum = 531;

// The process-wide copy of the section as the last query read it.
AlarmServicesConfig LastAlarmServices();

}  // namespace tolvane

// Titles of the alarm services, by service mask ("varn_dct alm_titles").
DictTable* varn_dct_alm_titles_table();

// Opens the file that the setting "VARNFILE" names ("rb"), or null.
std::FILE* open_node_config();

// The path open_node_config would open, into `dest` of `size` bytes: the
// setting with ".VARN" unless it has an extension. 0, or 101.
short node_config_path(char* dest, short size);

// Reads the record at `offset` into `dest`: its first int16 is its length
// (the length field included); at most `maximum` bytes of it are read.
// Returns 0, or 105 when fewer bytes than that could be read.
short read_config_record(std::FILE* file, void* dest, long offset, int maximum);

// Reads the alarm-services section into `config` (cleared first), converting
// older layouts. A count above 8 fills the 8 slots and skips the rest.
// Returns 0, 101 (no file) or 105 (short read).
short read_alarm_services(AlarmServicesConfig* config);

// *flagOut = 1 when the Alarm Summary Service is configured and has option
// bit 2, else 0. Returns 0, 101 or 105 (then *flagOut is 0). Safe to call
// from several threads at once.
short read_summary_option(short* flagOut);

// Text `number` of the catalogue "VARNERROR" into `dest`. 1 when the
// catalogue opened (`dest` holds the text or the catalogue's error text),
// 0 when it did not (`dest` untouched).
short varn_error_text(short number, char* dest, short destLen);
