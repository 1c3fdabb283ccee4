// Building display rows from queue messages, filtered.
#include "manager/row_conversion.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "filter/alarm_filter.h"
#include "filter/prepared_terms.h"
#include "manager/alarm_reference.h"
#include "manager/queue_controls.h"
#include "services/queue_backend.h"
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

namespace {

using filter::FilterColumn;
constexpr uint32_t kEveryColumn = ~0u;

// The row columns taken from the packet alone, those in `columns` only.
// `scratch`: the row is reused between messages, so a column is written in
// full, as a fresh (zeroed) row would hold it.
void FillPacketColumns(const _ALMPAK& packet, uint32_t columns, tagAlarmStr* row, bool scratch) {
  if (columns & filter::kColumnAreas) JoinAreas(packet, row);
  if (columns & filter::kColumnDescription) CopyField(row->description, packet.description);
  if (columns & filter::kColumnNode) CopyField(row->node, packet.node);
  if (columns & filter::kColumnTagName) CopyField(row->tagName, packet.tagName);
  if (columns & filter::kColumnPriority) {
    fls_get_dct_text(dctcomn_almpri7_table(), row->priority, packet.priority, sizeof row->priority);
  }
  if (columns & (filter::kColumnExt1 | filter::kColumnExt2)) {
    row->ext1[0] = '\0';
    row->ext2[0] = '\0';
    if (packet.ext.extKind == 0) {
      CopyField(row->ext1, packet.ext.ext1);
      CopyField(row->ext2, packet.ext.ext2);
    }
  }
  if (columns & filter::kColumnFieldBlock) {
    if (packet.ext.extKind == 1) {
      std::memcpy(row->fieldBlock, packet.fieldBlock, sizeof row->fieldBlock);
    } else if (scratch) {
      std::memset(row->fieldBlock, 0, sizeof row->fieldBlock);
    }
  }
}

void FillMessageColumns(const SUMQMSG& msg, uint32_t columns, tagAlarmStr* row) {
  FillPacketColumns(msg.almpak, columns, row, true);
  if (columns & filter::kColumnDateIn) CopyField(row->dateIn, msg.dateIn);
  if (columns & filter::kColumnDateLast) CopyField(row->dateLast, msg.dateLast);
  if (columns & filter::kColumnTimeIn) CopyField(row->timeIn, msg.timeIn);
  if (columns & filter::kColumnTimeLast) CopyField(row->timeLast, msg.timeLast);
  if (columns & filter::kColumnAck) row->ack[0] = msg.ackFlag != 0 ? '1' : '0';
}

void FillRow(const SUMQMSG& msg, tagAlarmStr* row, ReferenceNode nodeChoice) {
  FillAlarmRow(msg.almpak, row);
  CopyField(row->dateIn, msg.dateIn);
  CopyField(row->dateLast, msg.dateLast);
  CopyField(row->timeIn, msg.timeIn);
  CopyField(row->timeLast, msg.timeLast);
  row->ack[0] = msg.ackFlag != 0 ? '1' : '0';

  char node[kRefNodeSize];
  SetFieldText(node, FieldText(nodeChoice == ReferenceNode::kPhysicalNode ? msg.almpak.physicalNode
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
}

void Prefetch(const SUMQMSG* msg) {
  // A row's fields span the whole record.
  const char* p = reinterpret_cast<const char*>(msg);
  for (std::size_t off = 128; off < sizeof(SUMQMSG); off += 256) __builtin_prefetch(p + off);
}

// Where in a message the fields behind each filter column lie.
struct Span {
  uint32_t column;
  std::size_t offset, size;
};
constexpr std::size_t kPak = offsetof(SUMQMSG, almpak);
constexpr Span kSpans[] = {
    {filter::kColumnAreas, kPak + offsetof(_ALMPAK, areaCount), 4 + 15 * 30},
    {filter::kColumnAck, offsetof(SUMQMSG, ackFlag), 2},
    {filter::kColumnDateIn, offsetof(SUMQMSG, dateIn), 20},
    {filter::kColumnDateLast, offsetof(SUMQMSG, dateLast), 20},
    {filter::kColumnTimeIn, offsetof(SUMQMSG, timeIn), 20},
    {filter::kColumnTimeLast, offsetof(SUMQMSG, timeLast), 20},
    {filter::kColumnDescription, kPak + offsetof(_ALMPAK, description), 133},
    {filter::kColumnNode, kPak + offsetof(_ALMPAK, node), 9},
    {filter::kColumnPriority, kPak + offsetof(_ALMPAK, priority), 2},
    {filter::kColumnTagName, kPak + offsetof(_ALMPAK, tagName), 31},
    {filter::kColumnExt1 | filter::kColumnExt2 | filter::kColumnFieldBlock,
     kPak + offsetof(_ALMPAK, fieldBlock), 170},
};

// The cache lines a filter's columns need, as offsets into a message.
std::vector<std::size_t> LinesOf(uint32_t columns) {
  std::vector<std::size_t> lines;
  for (const Span& s : kSpans) {
    if (!(columns & s.column)) continue;
    for (std::size_t at = s.offset & ~std::size_t{63}; at < s.offset + s.size; at += 64) {
      if (std::find(lines.begin(), lines.end(), at) == lines.end()) lines.push_back(at);
    }
  }
  return lines;
}

}  // namespace

// Rows from messages, the filter decided first. A message the filter turns
// down is matched on a scratch row holding only the columns it names; only
// messages that pass are built in full, straight into their place.
class RowConverter {
 public:
  // True when the message passes the filter (always, unfiltered).
  bool Matches(const SUMQMSG& msg) {
    if (!filtered_) return true;
    FillMessageColumns(msg, columns_, scratch_.get());
    return filter_.MatchFilter(expression_.data(), scratch_.get()) != 0;
  }

  unsigned int ColumnsRead() const { return filtered_ ? columns_ : 0; }

  // False when the filter does not parse.
  bool Prepare(const char* filter) {
    filtered_ = filter && filter[0] != '\0';
    if (!filtered_) return true;
    std::size_t len = std::strlen(filter);
    expression_.assign(len + 1, '\0');
    if (!filter_.ParseFilter(filter, expression_.data(), static_cast<int>(len + 1))) return false;
    columns_ = filter_.ColumnsRead();
    lines_ = LinesOf(columns_);
    scratch_ = std::make_unique<tagAlarmStr>();
    return true;
  }

  // Packs the rows of the n messages (`at(i)` the i-th) from the start of
  // `rows`, as the defined conversion does. `rowsZeroed`: every row is zero,
  // so a slot needs no clearing. Returns the rows kept.
  template <class At>
  unsigned int Convert(At at, unsigned int n, tagAlarmStr* rows, bool rowsZeroed,
                       ReferenceNode nodeChoice) {
    unsigned int kept = 0;
    // rows[kept] would hold a row that the filter turned down, built there
    // and cleared before the next is built, as the defined conversion leaves it.
    bool slotDirty = false;
    // Rows are built some messages behind the fetches; a filter reads only
    // its own lines, so it can run further ahead.
    const unsigned int ahead = filtered_ ? 8 : 2;
    for (unsigned int i = 0; i < n && kept < kMaxRows; ++i) {
      if (i + ahead < n) {
        if (filtered_) {
          const char* p = reinterpret_cast<const char*>(at(i + ahead));
          for (std::size_t off : lines_) __builtin_prefetch(p + off);
        } else {
          Prefetch(at(i + ahead));
        }
      }
      const SUMQMSG& msg = *at(i);
      if (filtered_) {
        FillMessageColumns(msg, columns_, scratch_.get());
        if (!filter_.MatchFilter(expression_.data(), scratch_.get())) {
          slotDirty = true;
          continue;
        }
      }
      tagAlarmStr* row = &rows[kept];
      if (slotDirty && !rowsZeroed) std::memset(row, 0, sizeof *row);
      FillRow(msg, row, nodeChoice);
      ++kept;
      slotDirty = false;
    }
    if (slotDirty && !rowsZeroed && kept < kMaxRows) std::memset(&rows[kept], 0, sizeof rows[kept]);
    return kept;
  }

 private:
  bool filtered_ = false;
  AlarmFilter filter_;
  std::vector<char> expression_;
  uint32_t columns_ = kEveryColumn;
  std::vector<std::size_t> lines_;
  std::unique_ptr<tagAlarmStr> scratch_;
};

RowFilter::RowFilter() : impl_(std::make_unique<RowConverter>()) {}
RowFilter::~RowFilter() = default;

bool RowFilter::Prepare(const char* filter) {
  return impl_->Prepare(filter);
}

bool RowFilter::Matches(const SUMQMSG& msg) {
  return impl_->Matches(msg);
}

unsigned int RowFilter::ColumnsRead() const {
  return impl_->ColumnsRead();
}

void BuildRow(const SUMQMSG& msg, tagAlarmStr* row, ReferenceNode nodeChoice) {
  FillRow(msg, row, nodeChoice);
}

void FillAlarmRow(const _ALMPAK& packet, tagAlarmStr* row) {
  FillPacketColumns(packet, kEveryColumn, row, false);

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
}

int ConvertMessages(const SUMQMSG* list, tagAlarmStr* rows, unsigned int n, short* rowCount,
                    const char* filter, ReferenceNode nodeChoice) {
  short ignored = 0;
  if (!rowCount) rowCount = &ignored;
  *rowCount = 0;
  RowConverter converter;
  try {
    if (!converter.Prepare(filter)) return 0;
  } catch (...) {
    return 0;
  }
  if (!list || !rows) return 1;
  unsigned int kept =
      converter.Convert([list](unsigned int i) { return &list[i]; }, n, rows, false, nodeChoice);
  *rowCount = static_cast<short>(kept);
  return 1;
}

short ReadPage(CQuorlen& queue, const SORT_CNTL& sort, unsigned short count, unsigned short handle,
               const PageSink& sink) {
  QueueBackend* backend = InstalledQueueBackend();
  if (backend && backend->CanVisit()) {
    struct Visitor final : QueueRecordVisitor {
      const PageSink& sink;
      explicit Visitor(const PageSink& s) : sink(s) {}
      void Visit(const SUMQMSG* const* records, unsigned short n) override {
        sink(PageRecords{nullptr, records}, n);
      }
    } visitor(sink);
    return backend->Visit(sort, count, handle, visitor);
  }
  FLTER_CNTL fc = EmptyFilterControl();
  SORT_CNTL s = sort;
  ERROR_REC err{};
  SUMQMSG* list = nullptr;
  unsigned short more = 0;
  unsigned short n = queue.sumqGet(&err, &list, count, &fc, &s, handle, &more, nullptr, 1);
  if (err.status == 0) sink(PageRecords{list, nullptr}, n);
  queue.sumqFreeList(list);
  return err.status;
}

int ConvertPage(const PageRecords& page, tagAlarmStr* rows, unsigned int n, short* rowCount,
                const char* filter, ReferenceNode nodeChoice) {
  *rowCount = 0;
  RowConverter converter;
  try {
    if (!converter.Prepare(filter)) return 0;
  } catch (...) {
    return 0;
  }
  if (!rows || (!page.list && !page.records)) return 1;
  unsigned int kept = page.records
                          ? converter.Convert([&page](unsigned int i) { return page.records[i]; },
                                              n, rows, true, nodeChoice)
                          : converter.Convert([&page](unsigned int i) { return &page.list[i]; }, n,
                                              rows, true, nodeChoice);
  *rowCount = static_cast<short>(kept);
  return 1;
}

ViewRows ReadViewRows(CQuorlen& queue, SORT_CNTL sort, unsigned short handle, const char* filter,
                      ReferenceNode nodeChoice) {
  ViewRows out;
  FLTER_CNTL fc = EmptyFilterControl();
  ERROR_REC err{};
  queue.sumqHome(&err, &fc, &sort, handle);
  out.status = ReadPage(
      queue, sort, MessagesWorthFetching(0, filter), handle,
      [&](const PageRecords& page, unsigned short n) {
        if (n == 0) return;
        out.rows.reset(new (std::nothrow) tagAlarmStr[std::min<unsigned int>(n, kMaxRows)]());
        if (out.rows) {
          ConvertPage(page, out.rows.get(), n, &out.count, filter, nodeChoice);
        } else {
          out.noMemory = true;
        }
      });
  return out;
}

}  // namespace tolvane
