// Alarm fetch: position the client's cursor, fetch a page of queue
// messages, and hand back the filtered rows packed in a byte array.
#include <cstring>
#include <new>

#include "manager/queue_controls.h"
#include "manager/row_conversion.h"
#include "text/value_text.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/result_codes.h"

namespace tolvane {

namespace {

// Sort-code magnitude 1..13 -> queue sort key; 3 and 5 are never produced.
constexpr unsigned char kSortKeyOfMagnitude[14] = {0, 0, 1, 2, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14};

}  // namespace

void ApplySortCode(SORT_CNTL* sort, long sortCode) {
  if (!sort) return;
  long magnitude = sortCode < 0 ? -sortCode : sortCode;
  if (magnitude >= 1 && magnitude <= 13) sort->key = kSortKeyOfMagnitude[magnitude];
  sort->direction = sortCode > 0 ? 0 : 1;
}

}  // namespace tolvane

void CVeltAlmSummMgr::GetSortCondition(SORT_CNTL* sort, long sortCode) {
  tolvane::ApplySortCode(sort, sortCode);
}

short CVeltAlmSummMgr::FetchAlarmsByRef(VARIANT* result, long count, char* filter, long sortCode,
                                        short clientHandle, short* rowCount) {
  if (clientHandle == tolvane::kNoHandle) return tolvane::kFailed;
  FLTER_CNTL fc = tolvane::EmptyFilterControl();
  SORT_CNTL sort{};
  GetSortCondition(&sort, sortCode);
  if (count == 0) {
    if (rowCount) *rowCount = 0;
    return tolvane::kOk;
  }

  const auto handle = static_cast<unsigned short>(clientHandle);
  ERROR_REC err{};
  m_quorlen.sumqHome(&err, &fc, &sort, handle);
  m_quorlen.sumqNextp(&err, &fc, &sort, 0, handle);
  if (err.status != 0) {
    m_quorlen.sumqEnd(&err, &fc, &sort, handle);
    m_quorlen.sumqPrevp(&err, &fc, &sort, 0, handle);
    if (err.status != 0) m_quorlen.sumqHome(&err, &fc, &sort, handle);
  }

  if (count == -1) count = 0;
  const unsigned short want =
      tolvane::MessagesWorthFetching(static_cast<unsigned short>(count), filter);
  short status = tolvane::kFailed;
  short queueStatus = tolvane::ReadPage(
      m_quorlen, sort, want, handle, [&](const tolvane::PageRecords& page, unsigned short n) {
        SAFEARRAY* rows =
            SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n) * sizeof(tagAlarmStr));
        if (rows && result) {
          result->vt = VT_UI1;  // callers rely on this tag, not VT_ARRAY|VT_UI1
          result->parray = rows;
          void* data = nullptr;
          SafeArrayAccessData(rows, &data);
          short kept = 0;
          int built = tolvane::ConvertPage(page, static_cast<tagAlarmStr*>(data), n, &kept, filter,
                                           tolvane::ReferenceNode::kNodeName);
          SafeArrayUnaccessData(rows);
          if (rowCount) *rowCount = built ? kept : 0;
          status = built ? tolvane::kOk : tolvane::kBadFilter;
        } else if (rows) {
          SafeArrayDestroy(rows);  // nowhere to put it
        }
      });
  if (queueStatus != 0) return tolvane::kFailed;
  return status;
}

int CVeltAlmSummMgr::copyToAlmPackString(SUMQMSG* list, char* rows, short n, short* rowCount,
                                         char* filter) {
  return tolvane::ConvertMessages(list, reinterpret_cast<tagAlarmStr*>(rows),
                                  static_cast<unsigned short>(n), rowCount, filter,
                                  tolvane::ReferenceNode::kNodeName);
}

void CVeltAlmSummMgr::FillAlarmRow(_ALMPAK* packet, tagAlarmStr* row) {
  if (packet && row) tolvane::FillAlarmRow(*packet, row);
}

unsigned int CVeltAlmSummMgr::ConvertValueToText(_AlmCanonicalValue* value, char* text,
                                                 unsigned int size) {
  return tolvane::ConvertValueToText(value, text, size);
}

void CVeltAlmSummMgr::RemoveNulls(tagAlarmStr* row, int flag) {
  if (!row) return;
  auto* base = reinterpret_cast<char*>(row);
  struct Field {
    std::size_t offset, width;
  };
  static constexpr Field kFields[] = {{1, 64},    {65, 465}, {530, 20}, {550, 20}, {570, 20},
                                      {590, 20},  {610, 9},  {619, 31}, {650, 20}, {670, 133},
                                      {803, 133}, {936, 28}, {964, 81}, {1045, 81}};
  for (const Field& f : kFields) {
    if (f.offset == 1045 && flag != 0) continue;
    if (void* nul = std::memchr(base + f.offset, '\0', f.width)) *static_cast<char*>(nul) = ' ';
  }
}

void CVeltAlmSummMgr::copyToAlmPack(SUMQMSG*, char*, int) {}
