// Alarm fetch and row building.
#include <cstring>

#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

namespace {

// Sort-code magnitude 1..13 -> queue sort key; 3 and 5 are never produced.
constexpr unsigned char kSortKeyOfMagnitude[14] = {0, 0, 1, 2, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14};

}  // namespace

void CVeltAlmSummMgr::GetSortCondition(SORT_CNTL* sort, long sortCode) {
  if (!sort) return;
  long magnitude = sortCode < 0 ? -sortCode : sortCode;
  if (magnitude >= 1 && magnitude <= 13) sort->key = kSortKeyOfMagnitude[magnitude];
  sort->direction = sortCode > 0 ? 0 : 1;
}

void CVeltAlmSummMgr::RemoveNulls(tagAlarmStr* row, int flag) {
  if (!row) return;
  auto* base = reinterpret_cast<char*>(row);
  struct Field {
    std::size_t offset, width;
  };
  static constexpr Field kFields[] = {{1, 64},    {65, 465},  {530, 20},  {550, 20}, {570, 20},
                                      {590, 20},  {610, 9},   {619, 31},  {650, 20}, {670, 133},
                                      {803, 133}, {936, 28},  {964, 81},  {1045, 81}};
  for (const Field& f : kFields) {
    if (f.offset == 1045 && flag != 0) continue;
    if (void* nul = std::memchr(base + f.offset, '\0', f.width)) *static_cast<char*>(nul) = ' ';
  }
}

void CVeltAlmSummMgr::copyToAlmPack(SUMQMSG*, char*, int) {}

// Lands with the fetch work: until then a fetch reports failure.
short CVeltAlmSummMgr::FetchAlarmsByRef(VARIANT*, long, char*, long, short, short*) {
  return tolvane::kFailed;
}

// Lands with the fetch work.
int CVeltAlmSummMgr::copyToAlmPackString(SUMQMSG*, char*, short, short* rowCount, char*) {
  if (rowCount) *rowCount = 0;
  return 0;
}

// Lands with the fetch work.
void CVeltAlmSummMgr::FillAlarmRow(_ALMPAK*, tagAlarmStr*) {}

// Lands with the value-text work.
unsigned int CVeltAlmSummMgr::ConvertValueToText(_AlmCanonicalValue*, char* text,
                                                 unsigned int size) {
  if (text && size > 0) text[0] = '\0';
  return static_cast<unsigned int>(tolvane::kNoTextForm);
}
