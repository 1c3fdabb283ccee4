// What the program writes: rows as a table, CSV or JSON; the status report
// and the operator-message log as text or JSON. Row texts are plant bytes
// and may hold anything but NUL; every writer here keeps its format whole
// whatever they hold.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "plant/plant.h"
#include "present/rows.h"

namespace tolvane::present {

enum class Format { kTable, kCsv, kJson };

// Text made safe for a terminal line: C0 controls and DEL as "\e", "\n",
// "\r", "\t" or "\xNN"; bytes that are not well-formed UTF-8 as "\xNN"; the
// C1 controls U+0080-U+009F, the line and paragraph separators and the
// bidirectional embedding, override and isolate controls as "\uNNNN".
// Everything else, backslashes included, is kept: the point is that nothing
// reaches the terminal as a command or breaks a line, not that the text can
// be read back. The result is well-formed UTF-8.
std::string EscapeForTerminal(std::string_view text);

// A CSV field's text made safe for a terminal: as EscapeForTerminal, but a
// line break stays one (a quoted CSV field may hold it).
std::string EscapeForCsv(std::string_view text);

// A JSON document as dumped, with the characters a terminal acts on that
// JSON may carry raw (DEL, the C1 controls, the line and paragraph
// separators, the bidirectional controls) written as \uNNNN escapes. The
// text reads back the same; controls below U+0020 are escaped by the dump.
std::string TerminalSafeJson(std::string dumped);

// Columns a text takes: its code points. Wide (East Asian) characters and
// combining marks are not told apart. For escaped text.
std::size_t DisplayWidth(std::string_view text);

// The longest prefix of `text` within `columns`, never cut inside a
// character. For escaped text.
std::string_view CutToWidth(std::string_view text, std::size_t columns);

struct TableOptions {
  bool color = false;  // ANSI colours by priority
  long total = -1;     // the queue's total for the footer; -1: unknown
  bool footer = true;
  // What the filter matched of the whole view: the footer then reads
  // "N of M matched, T in the summary". -1: "N of T alarms".
  long matched = -1;
};

// Cells are escaped and padded by their display width.
void WriteTable(std::ostream& out, const std::vector<Row>& rows, const TableOptions& options);

// RFC 4180: CRLF line ends, a header line, fields holding a comma, a double
// quote or LF quoted with quotes doubled. CSV has no escapes of its own, so
// control characters other than LF are written as the table writes them
// (EscapeForCsv); status and priority without their padding, as in JSON.
void WriteCsv(std::ostream& out, const std::vector<Row>& rows);

// {"shown", "matched", "total", "alarms": [...]} ("matched" only when
// `matched` >= 0). Each alarm has `type` ("alarm" or
// "message"), the display texts, `timeInUtc`/`timeLastUtc` (ISO 8601 UTC,
// null when the texts name no real local time), `areas` as an array, and
// `status` and `priority` without their padding. Bytes that are not UTF-8
// become U+FFFD.
void WriteJson(std::ostream& out, const std::vector<Row>& rows, long total, long matched = -1);

// The ANSI colour of a priority text, empty for none.
const char* PriorityColor(const std::string& priority);

// A CSV field, quoted when it needs to be.
std::string CsvField(std::string_view text);

// The areas of a row: its areas text split at commas; none when empty.
std::vector<std::string> SplitAreas(std::string_view areas);

// The time a row's date and time texts ("MM/dd/yyyy", "HH:mm:ss", local)
// name, as ISO 8601 UTC; nothing when they do not read or name a local time
// that does not exist (Feb 30, the hour skipped at a DST change).
std::optional<std::string> RowTimeUtc(const std::string& date, const std::string& time);

// What `status` reports.
struct StatusReport {
  long total = 0;  // alarms in the store
  long sequence = 0;
  bool hornEnabled = false;
  bool hornSilenced = false;
  std::string localNode;
  std::vector<std::string> aliases;  // empty ones left out
  std::size_t nodes = 0;
  std::size_t blocks = 0;
  std::size_t shelved = 0;
  struct ObjectCount {
    std::string module, name;
    uint32_t value = 0;
  };
  std::vector<ObjectCount> objects;
};

void WriteStatusText(std::ostream& out, const StatusReport& report);
void WriteStatusJson(std::ostream& out, const StatusReport& report);

// One operator message of the journal.
struct LogEntry {
  plant::TimePoint time{};
  std::string node;  // empty: none
  std::string user;  // empty: not known
  std::string text;
  int flag = 0;
};

// One line each, "2026-12-08T10:15:00Z  PLANT1  alice  text" ("-" for no
// node or user), escaped, then the count.
void WriteLogText(std::ostream& out, const std::vector<LogEntry>& entries);
// {"count", "messages": [{"time", "node", "user", "text", "flag"}]}, node
// and user null when empty.
void WriteLogJson(std::ostream& out, const std::vector<LogEntry>& entries);

}  // namespace tolvane::present
