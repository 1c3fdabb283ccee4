// Rows as a table, CSV or JSON.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/rows.h"

namespace tolvane::cli {

enum class Format { kTable, kCsv, kJson };

struct TableOptions {
  bool color = false;  // ANSI colours by priority
  long total = -1;     // the queue's total for the footer; -1: unknown
  bool footer = true;
};

void WriteTable(std::ostream& out, const std::vector<Row>& rows, const TableOptions& options);
void WriteCsv(std::ostream& out, const std::vector<Row>& rows);
void WriteJson(std::ostream& out, const std::vector<Row>& rows, long total);

// The ANSI colour of a priority text, empty for none.
const char* PriorityColor(const std::string& priority);

// A CSV field, quoted when it needs to be.
std::string CsvField(const std::string& text);

}  // namespace tolvane::cli
