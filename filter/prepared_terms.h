// A filter's comparisons made ready once per filter: values upper-cased,
// lists split, operator words and dates looked up. Each row is then compared
// in place, without copying a column or touching the heap. A term that
// depends on a process-wide word still being retried is left to the plain
// matcher, which retries it on every row as before.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "filter/alarm_filter.h"
#include "filter/matchers.h"

namespace tolvane::filter {

enum class Field : signed char {
  kUnknown = -1,
  kArea,
  kAck,
  kDateIn,
  kDateLast,
  kDescription,
  kNode,
  kPriority,
  kTagName,
  kTimeIn,
  kTimeLast,
  kExt1,
  kExt2,
  kFlex1,  // kFlex1 .. kFlex1 + 7
};

Field FieldOf(std::string_view name);

// The row columns a field's comparison reads, as bits of FilterColumns.
enum FilterColumn : uint32_t {
  kColumnAreas = 1u << 0,
  kColumnAck = 1u << 1,
  kColumnDateIn = 1u << 2,
  kColumnDateLast = 1u << 3,
  kColumnDescription = 1u << 4,
  kColumnNode = 1u << 5,
  kColumnPriority = 1u << 6,
  kColumnTagName = 1u << 7,
  kColumnTimeIn = 1u << 8,
  kColumnTimeLast = 1u << 9,
  kColumnExt1 = 1u << 10,
  kColumnExt2 = 1u << 11,
  kColumnFieldBlock = 1u << 12,
};
uint32_t ColumnsOf(Field field);

// One value of a list (node items, area names) or a whole value.
struct PreparedPattern {
  std::string text;
  bool wild = false;
  std::size_t starsFrom = 0;
  bool tooLong = false;  // a node item of more than 8 characters names no node
};

struct PreparedTerm {
  enum class Kind : uint8_t { kPlain, kTag, kText, kPriority, kAck, kDate, kTime, kNode, kArea };
  enum class Op : uint8_t { kNone, kEq, kNe, kGt, kGe, kLt, kLe };
  enum class Role : uint8_t { kNone, kContains, kNotContains, kContainsOnly };

  Kind kind = Kind::kPlain;
  Op op = Op::kNone;
  Role role = Role::kNone;
  bool rewrite = false;     // the plain matcher rewrites the term on its first row
  bool membership = false;  // IN rather than NOT IN
  PreparedPattern value;
  std::vector<PreparedPattern> items;
  std::vector<std::string> names;  // priority names a row may carry; local node names
  int nums[3] = {0, 0, 0};         // date or time value; dates as year, month, day
  signed char parts[3] = {-1, -1, -1};
  bool ackOne = false, ackZero = false;
  std::string allArea;
};

// Prepares `term` of `field`; kPlain when the plain matcher must decide.
// `dates` is read only for date fields.
PreparedTerm PrepareTerm(Field field, const FilterTerm& term, const CaseTable& table,
                         const DateSettings* dates);

// 1 when the row's column satisfies the prepared term. REQUIRES: kind not kPlain.
int MatchPrepared(const PreparedTerm& p, Field field, const tagAlarmStr& row,
                  const CaseTable& table);

}  // namespace tolvane::filter
