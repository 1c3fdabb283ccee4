// Fetching pages through the manager and reading the packed rows back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tolvane/CVeltAlmSummMgr.h"

namespace tolvane::cli {

// One display row, read from its 1310 bytes at the row's offsets.
struct Row {
  bool acknowledged = false;
  std::string reference;
  std::string areas;
  std::string dateIn, dateLast, timeIn, timeLast;
  std::string node;
  std::string tag;
  std::string priority;
  std::string status;
  std::string description;
  std::string value;
  std::string ext1, ext2;
  char letter = 0;  // from the row's block address
  int16_t number = 0;
  int32_t statusCode = 0;

  // Operator messages carry no block, so their reference reads empty.
  bool IsOperatorMessage() const { return reference.empty(); }
};

// Decodes one packed row of exactly sizeof(tagAlarmStr) bytes.
Row DecodeRow(const unsigned char* bytes);

// Fetches up to `count` rows (-1: all) of the view of `handle` through
// FetchAlarmsByRef and decodes them. Returns the manager's result code;
// `rows` holds the page only when it is 0.
short FetchRows(CVeltAlmSummMgr& mgr, short handle, long count, const std::string& filter,
                long sortCode, std::vector<Row>* rows);

// Text without its trailing blanks (the system's status texts are padded).
std::string TrimRight(const std::string& text);

}  // namespace tolvane::cli
