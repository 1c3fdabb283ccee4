// Fetching pages through the manager and reading the packed rows back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tolvane/CVeltAlmSummMgr.h"

namespace tolvane::present {

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

// Decodes rows as the view layer gives them.
std::vector<Row> DecodeRows(const tagAlarmStr* rows, std::size_t n);

// Fetches up to `count` rows (-1: all) of the view of `handle` through
// FetchAlarmsByRef and decodes them. Returns the manager's result code;
// `rows` holds the page only when it is 0.
short FetchRows(CVeltAlmSummMgr& mgr, short handle, long count, const std::string& filter,
                long sortCode, std::vector<Row>* rows);

// Text without its trailing blanks (the system's status texts are padded).
std::string TrimRight(const std::string& text);

// The length of the well-formed UTF-8 sequence at text[pos] (1 to 4), with its
// code point in `cp`; 0 when the bytes there are not one (a stray
// continuation byte, a cut sequence, an overlong form, a surrogate, or past
// U+10FFFF). Row texts are bytes of the plant's code page, so callers must
// expect 0.
std::size_t Utf8Sequence(std::string_view text, std::size_t pos, char32_t* cp);

}  // namespace tolvane::present
