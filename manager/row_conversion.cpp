// Building display rows from queue messages, filtered.
#include "manager/row_conversion.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "filter/alarm_filter.h"
#include "manager/alarm_reference.h"
#include "manager/queue_controls.h"
#include "text/alarm_tables.h"
#include "text/dictionary.h"
#include "text/value_text.h"
#include "tolvane/text_field.h"

namespace tolvane {
namespace {

constexpr int32_t kOperatorMessage = 8;
constexpr unsigned int kMaxAreas = 15;

// Row fields hold short texts: one pass that stops at the terminator beats
// measuring first and copying after, on every field of every row.
template <std::size_t N, std::size_t M>
void CopyField(char (&dst)[N], const char (&src)[M]) {
  constexpr std::size_t limit = (N < M ? N - 1 : M);
  std::size_t i = 0;
  for (; i < limit && src[i] != '\0'; ++i) dst[i] = src[i];
  dst[i < N ? i : N - 1] = '\0';
}

void JoinAreas(const _ALMPAK& packet, tagAlarmStr* row) {
  unsigned int count = packet.areaCount < kMaxAreas ? packet.areaCount : kMaxAreas;
  std::size_t len = 0;
  constexpr std::size_t room = sizeof row->areas - 1;
  for (unsigned int i = 0; i < count && len < room; ++i) {
    if (i > 0) row->areas[len++] = ',';
    std::string_view name = FieldText(packet.areas[i]);
    std::size_t n = name.size() < room - len ? name.size() : room - len;
    std::memcpy(row->areas + len, name.data(), n);
    len += n;
  }
  row->areas[len < room ? len : room] = '\0';
}

}  // namespace

unsigned short MessagesWorthFetching(unsigned short count, const char* filter) {
  const bool filtered = filter && filter[0] != '\0';
  if (!filtered && (count == 0 || count > kMaxRows)) return kMaxRows;
  return count;
}

void FillAlarmRow(const _ALMPAK& packet, tagAlarmStr* row) {
  JoinAreas(packet, row);
  CopyField(row->description, packet.description);
  CopyField(row->node, packet.node);
  CopyField(row->tagName, packet.tagName);

  fls_get_dct_text(dctcomn_almpri7_table(), row->priority, packet.priority, sizeof row->priority);

  row->status[0] = '\0';
  if (packet.statusCode != -1) {
    char status[32];
    fls_get_dct_text(dctcomn_proc_alm_table(), status,
                     static_cast<short>(packet.statusCode & 0xFFFF), sizeof status);
    SetFieldText(row->status, FieldText(status));
  }

  char value[31];
  ConvertValueToText(&packet.value, value, sizeof value);
  SetFieldText(row->value, FieldText(value));

  row->ext1[0] = '\0';
  row->ext2[0] = '\0';
  if (packet.ext.extKind == 0) {
    CopyField(row->ext1, packet.ext.ext1);
    CopyField(row->ext2, packet.ext.ext2);
  } else if (packet.ext.extKind == 1) {
    std::memcpy(row->fieldBlock, packet.fieldBlock, sizeof row->fieldBlock);
  }
}

int ConvertMessages(const SUMQMSG* list, tagAlarmStr* rows, unsigned int n, short* rowCount,
                    const char* filter, ReferenceNode nodeChoice) {
  short ignored = 0;
  if (!rowCount) rowCount = &ignored;
  *rowCount = 0;
  const bool filtered = filter && filter[0] != '\0';
  AlarmFilter alarmFilter;
  std::vector<char> expression;
  if (filtered) {
    std::size_t len = std::strlen(filter);
    expression.assign(len + 1, '\0');
    if (!alarmFilter.ParseFilter(filter, expression.data(), static_cast<int>(len + 1))) return 0;
  }
  if (!list || !rows) return 1;

  unsigned int kept = 0;
  bool slotDirty = false;  // rows[kept] holds a row that the filter turned down
  for (unsigned int i = 0; i < n && kept < kMaxRows; ++i) {
    const SUMQMSG& msg = list[i];
    if (i + 1 < n) {
      // The next message's fields span its whole record; start fetching them.
      const char* next = reinterpret_cast<const char*>(&list[i + 1]);
      for (std::size_t off = 128; off < sizeof(SUMQMSG); off += 256) __builtin_prefetch(next + off);
    }
    tagAlarmStr* row = &rows[kept];
    if (slotDirty) std::memset(row, 0, sizeof *row);
    FillAlarmRow(msg.almpak, row);
    CopyField(row->dateIn, msg.dateIn);
    CopyField(row->dateLast, msg.dateLast);
    CopyField(row->timeIn, msg.timeIn);
    CopyField(row->timeLast, msg.timeLast);
    row->ack[0] = msg.ackFlag != 0 ? '1' : '0';

    char node[kRefNodeSize];
    SetFieldText(node,
                 FieldText(nodeChoice == ReferenceNode::kPhysicalNode ? msg.almpak.physicalNode
                                                                      : msg.almpak.node));
    if (msg.almpak.msgType == kOperatorMessage) {
      WriteReference(row->reference, '\0', 0, node);
      std::memset(&row->vsp, 0, sizeof row->vsp);
      row->statusCode = 0;
    } else {
      WriteReference(row->reference, msg.almpak.vsp.blockType, msg.almpak.vsp.blockNumber, node);
      row->vsp = msg.almpak.vsp;
      row->statusCode = msg.almpak.statusCode;
    }

    if (!filtered || alarmFilter.MatchFilter(expression.data(), row)) {
      ++kept;
      slotDirty = false;
    } else {
      slotDirty = true;
    }
  }
  if (slotDirty && kept < kMaxRows) std::memset(&rows[kept], 0, sizeof rows[kept]);
  *rowCount = static_cast<short>(kept);
  return 1;
}

ViewRows ReadViewRows(CQuorlen& queue, SORT_CNTL sort, unsigned short handle, const char* filter,
                      ReferenceNode nodeChoice) {
  ViewRows out;
  FLTER_CNTL fc = EmptyFilterControl();
  ERROR_REC err{};
  queue.sumqHome(&err, &fc, &sort, handle);
  SUMQMSG* list = nullptr;
  unsigned short more = 0;
  unsigned short n = queue.sumqGet(&err, &list, MessagesWorthFetching(0, filter), &fc, &sort,
                                   handle, &more, nullptr, 1);
  out.status = err.status;
  if (err.status == 0 && n > 0) {
    out.rows.reset(new (std::nothrow) tagAlarmStr[std::min<unsigned int>(n, kMaxRows)]());
    if (out.rows) {
      ConvertMessages(list, out.rows.get(), n, &out.count, filter, nodeChoice);
    } else {
      out.noMemory = true;
    }
  }
  queue.sumqFreeList(list);
  return out;
}

}  // namespace tolvane
