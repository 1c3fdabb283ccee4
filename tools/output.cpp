#include "tools/output.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

namespace tolvane::cli {
namespace {

constexpr const char* kReset = "\x1b[0m";

std::string TimeIn(const Row& r) {
  if (r.dateIn.empty()) return r.timeIn;
  return r.dateIn + " " + r.timeIn;
}

}  // namespace

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
  const std::array<std::string, kColumns> header = {
      "Ack", "Time in", "Node", "Tag", "Priority", "Status", "Value", "Description", "Reference"};
  std::vector<std::array<std::string, kColumns>> cells;
  cells.reserve(rows.size());
  for (const Row& r : rows) {
    // An operator message has no status or value worth showing.
    bool msg = r.IsOperatorMessage();
    cells.push_back({msg ? "msg" : (r.acknowledged ? "ack" : "NEW"), TimeIn(r), r.node, r.tag,
                     TrimRight(r.priority), msg ? "" : TrimRight(r.status),
                     msg ? "" : TrimRight(r.value), r.description, r.reference});
  }
  std::array<std::size_t, kColumns> width{};
  for (std::size_t c = 0; c < kColumns; ++c) width[c] = header[c].size();
  for (const auto& row : cells) {
    for (std::size_t c = 0; c < kColumns; ++c) width[c] = std::max(width[c], row[c].size());
  }
  auto line = [&](const std::array<std::string, kColumns>& row) {
    std::string s;
    for (std::size_t c = 0; c < kColumns; ++c) {
      s += row[c];
      if (c + 1 < kColumns) s += std::string(width[c] - row[c].size() + 2, ' ');
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
    out << rows.size() << " of ";
    if (options.total >= 0) {
      out << options.total;
    } else {
      out << "?";
    }
    out << " alarms\n";
  }
}

std::string CsvField(const std::string& text) {
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
         "value,description,areas,ext1,ext2\r\n";
  for (const Row& r : rows) {
    const std::string fields[] = {r.acknowledged ? "1" : "0",
                                  r.reference,
                                  r.dateIn,
                                  r.timeIn,
                                  r.dateLast,
                                  r.timeLast,
                                  r.node,
                                  r.tag,
                                  r.priority,
                                  r.status,
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

void WriteJson(std::ostream& out, const std::vector<Row>& rows, long total) {
  using nlohmann::json;
  json alarms = json::array();
  for (const Row& r : rows) {
    alarms.push_back({{"acknowledged", r.acknowledged},
                      {"reference", r.reference},
                      {"dateIn", r.dateIn},
                      {"timeIn", r.timeIn},
                      {"dateLast", r.dateLast},
                      {"timeLast", r.timeLast},
                      {"node", r.node},
                      {"tag", r.tag},
                      {"priority", r.priority},
                      {"status", r.status},
                      {"statusCode", r.statusCode},
                      {"value", r.value},
                      {"description", r.description},
                      {"areas", r.areas},
                      {"ext1", r.ext1},
                      {"ext2", r.ext2}});
  }
  json doc = {{"shown", rows.size()}, {"total", total}, {"alarms", std::move(alarms)}};
  out << doc.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

}  // namespace tolvane::cli
