#include "present/output.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "node/summary_queue_message.h"
#include "present/stats.h"

namespace tolvane::present {
namespace {

using nlohmann::json;

constexpr const char* kReset = "\x1b[0m";

std::string TimeIn(const Row& r) {
  if (r.dateIn.empty()) return r.timeIn;
  return r.dateIn + " " + r.timeIn;
}

// Code points that move the cursor, end a line or reorder what follows,
// although they are printable UTF-8.
bool IsUnsafeCodePoint(char32_t cp) {
  return (cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

void AppendHex(std::string& out, const char* form, unsigned value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, form, value);
  out += buf;
}

// Whatever the bytes, the document must be written: invalid UTF-8 becomes
// U+FFFD instead of an exception.
std::string Dump(const json& doc) {
  return TerminalSafeJson(doc.dump(2, ' ', false, json::error_handler_t::replace)) + "\n";
}

json Nullable(const std::string& text) {
  return text.empty() ? json(nullptr) : json(text);
}

json Nullable(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

std::string OrDash(const std::string& text) {
  return text.empty() ? "-" : EscapeForTerminal(text);
}

}  // namespace

std::string EscapeForTerminal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char32_t cp = 0;
    std::size_t n = Utf8Sequence(text, i, &cp);
    if (n == 0) {
      AppendHex(out, "\\x%02x", c);
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      switch (c) {
        case 0x1B:
          out += "\\e";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          AppendHex(out, "\\x%02x", c);
      }
    } else if (IsUnsafeCodePoint(cp)) {
      AppendHex(out, "\\u%04x", static_cast<unsigned>(cp));
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string EscapeForCsv(std::string_view text) {
  std::string out;
  for (std::size_t start = 0;;) {
    std::size_t nl = text.find('\n', start);
    out += EscapeForTerminal(text.substr(start, nl - start));
    if (nl == std::string_view::npos) return out;
    out += '\n';
    start = nl + 1;
  }
}

std::string TerminalSafeJson(std::string dumped) {
  std::string out;
  out.reserve(dumped.size());
  for (std::size_t i = 0; i < dumped.size();) {
    char32_t cp = 0;
    std::size_t n = Utf8Sequence(dumped, i, &cp);
    // Outside strings the dump holds ASCII only, so every such code point
    // is inside a string, where an escape means the same character.
    if (n != 0 && (cp == 0x7F || IsUnsafeCodePoint(cp))) {
      AppendHex(out, "\\u%04x", static_cast<unsigned>(cp));
      i += n;
    } else {
      std::size_t take = n == 0 ? 1 : n;
      out.append(dumped, i, take);
      i += take;
    }
  }
  return out;
}

std::size_t DisplayWidth(std::string_view text) {
  // Continuation bytes add no column.
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string_view CutToWidth(std::string_view text, std::size_t columns) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen++ == columns) return text.substr(0, i);
  }
  return text;
}

const char* PriorityColor(const std::string& priority) {
  std::string p = TrimRight(priority);
  if (p == "CRITICAL") return "\x1b[1;97;41m";
  if (p == "HIHI") return "\x1b[1;31m";
  if (p == "HIGH") return "\x1b[31m";
  if (p == "MEDIUM") return "\x1b[33m";
  if (p == "LOW") return "\x1b[36m";
  if (p == "LOLO") return "\x1b[35m";
  if (p == "INFO") return "\x1b[2m";
  return "";
}

void WriteTable(std::ostream& out, const std::vector<Row>& rows, const TableOptions& options) {
  constexpr std::size_t kColumns = 9;
  struct Cell {
    std::string text;
    std::size_t width = 0;
  };
  using Line = std::array<Cell, kColumns>;
  auto cell = [](std::string_view raw) {
    Cell c{EscapeForTerminal(raw)};
    c.width = DisplayWidth(c.text);
    return c;
  };
  Line header;
  const char* names[kColumns] = {"Ack",    "Time in", "Node",        "Tag",      "Priority",
                                 "Status", "Value",   "Description", "Reference"};
  for (std::size_t c = 0; c < kColumns; ++c) header[c] = cell(names[c]);
  std::vector<Line> cells;
  cells.reserve(rows.size());
  for (const Row& r : rows) {
    // An operator message has no status or value worth showing.
    bool msg = r.IsOperatorMessage();
    cells.push_back({cell(msg ? "msg" : (r.acknowledged ? "ack" : "NEW")), cell(TimeIn(r)),
                     cell(r.node), cell(r.tag), cell(TrimRight(r.priority)),
                     cell(msg ? "" : TrimRight(r.status)), cell(msg ? "" : TrimRight(r.value)),
                     cell(r.description), cell(r.reference)});
  }
  std::array<std::size_t, kColumns> width{};
  for (std::size_t c = 0; c < kColumns; ++c) width[c] = header[c].width;
  for (const Line& row : cells) {
    for (std::size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], row[c].width);
  }
  auto line = [&](const Line& row) {
    std::string s;
    for (std::size_t c = 0; c < kColumns; ++c) {
      s += row[c].text;
      if (c + 1 < kColumns) s.append(width[c] - row[c].width + 2, ' ');
    }
    return s;
  };
  out << line(header) << "\n";
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const char* color = options.color ? PriorityColor(rows[i].priority) : "";
    if (*color) {
      out << color << line(cells[i]) << kReset << "\n";
    } else {
      out << line(cells[i]) << "\n";
    }
  }
  if (options.footer) {
    std::string total = options.total >= 0 ? std::to_string(options.total) : "?";
    if (options.matched >= 0) {
      out << rows.size() << " of " << options.matched << " matched, " << total
          << " in the summary\n";
    } else {
      out << rows.size() << " of " << total << " alarms\n";
    }
  }
}

std::string CsvField(std::string_view raw) {
  std::string text = EscapeForCsv(raw);
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void WriteCsv(std::ostream& out, const std::vector<Row>& rows) {
  out << "acknowledged,reference,date_in,time_in,date_last,time_last,node,tag,priority,status,"
         "status_code,value,description,areas,ext1,ext2\r\n";
  for (const Row& r : rows) {
    const std::string fields[] = {r.acknowledged ? "1" : "0",
                                  r.reference,
                                  r.dateIn,
                                  r.timeIn,
                                  r.dateLast,
                                  r.timeLast,
                                  r.node,
                                  r.tag,
                                  TrimRight(r.priority),
                                  TrimRight(r.status),
                                  std::to_string(r.statusCode),
                                  r.value,
                                  r.description,
                                  r.areas,
                                  r.ext1,
                                  r.ext2};
    bool first = true;
    for (const std::string& f : fields) {
      if (!first) out << ',';
      out << CsvField(f);
      first = false;
    }
    out << "\r\n";
  }
}

std::vector<std::string> SplitAreas(std::string_view areas) {
  // The row joins the alarm's area names with commas and nothing else.
  std::vector<std::string> out;
  if (areas.empty()) return out;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = areas.find(',', start);
    out.emplace_back(areas.substr(start, comma - start));
    if (comma == std::string_view::npos) return out;
    start = comma + 1;
  }
}

std::optional<std::string> RowTimeUtc(const std::string& date, const std::string& time) {
  std::optional<TimePoint> t = RowTime(date, time);
  // The reader lets mktime carry Feb 30 into March; such a time was never
  // written by the queue, so it reads as none.
  if (!t || node::detail::FormatDate(*t) != date || node::detail::FormatTime(*t) != time) {
    return std::nullopt;
  }
  return plant::FormatUtc(*t);
}

void WriteJson(std::ostream& out, const std::vector<Row>& rows, long total, long matched) {
  json alarms = json::array();
  for (const Row& r : rows) {
    alarms.push_back({{"type", r.IsOperatorMessage() ? "message" : "alarm"},
                      {"acknowledged", r.acknowledged},
                      {"reference", r.reference},
                      {"dateIn", r.dateIn},
                      {"timeIn", r.timeIn},
                      {"timeInUtc", Nullable(RowTimeUtc(r.dateIn, r.timeIn))},
                      {"dateLast", r.dateLast},
                      {"timeLast", r.timeLast},
                      {"timeLastUtc", Nullable(RowTimeUtc(r.dateLast, r.timeLast))},
                      {"node", r.node},
                      {"tag", r.tag},
                      {"priority", TrimRight(r.priority)},
                      {"status", TrimRight(r.status)},
                      {"statusCode", r.statusCode},
                      {"value", r.value},
                      {"description", r.description},
                      {"areas", SplitAreas(r.areas)},
                      {"ext1", r.ext1},
                      {"ext2", r.ext2}});
  }
  json doc = {{"shown", rows.size()}, {"total", total}, {"alarms", std::move(alarms)}};
  if (matched >= 0) doc["matched"] = matched;
  out << Dump(doc);
}

void WriteStatusText(std::ostream& out, const StatusReport& report) {
  out << "Alarms in queue:  " << report.total << "\n";
  out << "Sequence number:  " << report.sequence << "\n";
  out << "Horn:             " << (report.hornEnabled ? "enabled" : "disabled")
      << (report.hornSilenced ? ", silenced" : "") << "\n";
  out << "Local node:       " << EscapeForTerminal(report.localNode);
  if (!report.aliases.empty()) {
    out << " (aliases ";
    for (std::size_t i = 0; i < report.aliases.size(); ++i) {
      out << (i ? ", " : "") << EscapeForTerminal(report.aliases[i]);
    }
    out << ")";
  }
  out << "\n";
  out << "Nodes:            " << report.nodes << "\n";
  out << "Blocks:           " << report.blocks << "\n";
  out << "Shelved alarms:   " << report.shelved << "\n";
  out << "Object counts:\n";
  for (const StatusReport::ObjectCount& c : report.objects) {
    out << "  " << EscapeForTerminal(c.module) << "  " << EscapeForTerminal(c.name) << " = "
        << c.value << "\n";
  }
}

void WriteStatusJson(std::ostream& out, const StatusReport& report) {
  json objects = json::array();
  for (const StatusReport::ObjectCount& c : report.objects) {
    objects.push_back({{"module", c.module}, {"name", c.name}, {"value", c.value}});
  }
  json doc = {{"total", report.total},
              {"sequence", report.sequence},
              {"horn", {{"enabled", report.hornEnabled}, {"silenced", report.hornSilenced}}},
              {"localNode", {{"name", report.localNode}, {"aliases", report.aliases}}},
              {"nodes", report.nodes},
              {"blocks", report.blocks},
              {"shelved", report.shelved},
              {"objectCounts", std::move(objects)}};
  out << Dump(doc);
}

void WriteLogText(std::ostream& out, const std::vector<LogEntry>& entries) {
  for (const LogEntry& e : entries) {
    out << plant::FormatUtc(e.time) << "  " << OrDash(e.node) << "  " << OrDash(e.user) << "  "
        << EscapeForTerminal(e.text) << "\n";
  }
  out << entries.size() << (entries.size() == 1 ? " operator message\n" : " operator messages\n");
}

void WriteLogJson(std::ostream& out, const std::vector<LogEntry>& entries) {
  json messages = json::array();
  for (const LogEntry& e : entries) {
    messages.push_back({{"time", plant::FormatUtc(e.time)},
                        {"node", Nullable(e.node)},
                        {"user", Nullable(e.user)},
                        {"text", e.text},
                        {"flag", e.flag}});
  }
  out << Dump({{"count", entries.size()}, {"messages", std::move(messages)}});
}

}  // namespace tolvane::present
