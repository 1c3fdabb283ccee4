// Operator filter strings: parsing into comparison terms plus a compact
// infix expression, and deciding per display row whether it passes.
//
//   AlarmFilter f;
//   std::vector<char> expr(strlen(text) + 1);
//   if (f.ParseFilter(text, expr.data(), expr.size()))
//     for (each row) if (f.MatchFilter(expr.data(), &row)) keep(row);
//
// Expression code: term indexes in decimal, '*' AND, '+' OR, '!' NOT, '-' NOR,
// '(' ')'. NOT binds tightest, then AND, OR, NOR; equal levels group from
// the right; a missing operand counts as false.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tolvane/records.h"

// One comparison: field name, operator and value, each terminated.
struct FilterTerm {
  char field[64];
  char op[64];
  char value[512];
};

namespace tolvane::filter {

struct Program;
struct DateSettings;

// Why a filter does not parse; `reason` is one of the fixed texts below.
struct ParseProblem {
  std::size_t position = 0;  // byte offset in the filter
  std::string token;
  const char* reason = nullptr;
};

inline constexpr const char* kReasonEmpty = "empty filter";
inline constexpr const char* kReasonUnbalanced = "unbalanced parentheses";
inline constexpr const char* kReasonField = "expected a field name";
inline constexpr const char* kReasonOperator = "unknown operator";
inline constexpr const char* kReasonIncomplete = "incomplete comparison";
inline constexpr const char* kReasonQuoted = "expected a quoted value";
inline constexpr const char* kReasonParenInValue = "parenthesis inside a value";
inline constexpr const char* kReasonNoClosingQuote = "missing closing quote";
inline constexpr const char* kReasonEmptyValue = "empty value";
inline constexpr const char* kReasonValueTooLong = "value too long";
inline constexpr const char* kReasonTrailingSpace = "white space after the last value";
inline constexpr const char* kReasonTrailingText = "text after the last value";
inline constexpr const char* kReasonNoRoom = "expression buffer too small";
inline constexpr const char* kReasonNoMemory = "out of memory";

// True when the text has as many '(' as ')', wherever they stand.
bool CheckParenBalance(std::string_view text);
// '*', '+', '!', '-' for AND, OR, NOT, NOR in any case; '0' for anything else.
char KeywordCode(std::string_view token);
// One of the twenty field names, exactly (upper case).
bool IsFilterField(std::string_view token);
// A comparison symbol or one of the five operator words, exactly.
bool IsFilterOperator(std::string_view token);
// Non-empty and at most 511 characters.
bool IsFilterValue(std::string_view text);

// True when an operator with `incoming` must first output the `stacked` one.
bool PopsBefore(char stacked, char incoming);

// One element of an expression: a term index or an operator character.
struct ExprToken {
  char op;   // 0 for a term
  int term;  // term index when op is 0
};

// Reads an infix expression. Term indexes are written one after another in
// order (0, 1, 2, ...), so "1011" after term 9 is terms 10 and 11.
void TokenizeExpression(std::string_view expression, std::vector<ExprToken>* out);
void InfixToPostfix(const std::vector<ExprToken>& infix, std::vector<ExprToken>* postfix);
// Postfix as text, items separated by one space ("0 1 2 * +"), for reading.
std::string PostfixText(std::string_view expression);

}  // namespace tolvane::filter

// The term list of one filter, in the order the field names appear. Owns its
// terms: RemoveAll or the destructor deletes them.
class AlarmFilter {
 public:
  AlarmFilter();
  ~AlarmFilter();
  AlarmFilter(const AlarmFilter&) = delete;
  AlarmFilter& operator=(const AlarmFilter&) = delete;

  // Fills the list (emptied first) and `expression` (zeroed first, 1 byte
  // more than the filter is always enough). 1 when the filter parses, else 0
  // with expression[0] NUL; terms made before the failure stay in the list.
  int ParseFilter(const char* filter, char* expression, int expressionSize);
  // Same, and says why it failed.
  int ParseFilter(const char* filter, char* expression, int expressionSize,
                  tolvane::filter::ParseProblem* problem);

  // 1 when `row` passes the expression that ParseFilter made. The first call
  // prepares the expression; later rows reuse it without allocating.
  int MatchFilter(const char* expression, tagAlarmStr* row);

  // 1 when `row` satisfies `term`; 1 for a field name of no known field.
  int EvaluateTerm(FilterTerm* term, tagAlarmStr* row);

  // The row columns the terms read, as tolvane::filter::FilterColumn bits:
  // a row needs only those to be matched.
  unsigned int ColumnsRead() const;

  void RemoveAll();
  int GetCount() const { return static_cast<int>(terms_.size()); }
  FilterTerm* GetAt(int index) const {
    return index >= 0 && index < GetCount() ? terms_[static_cast<std::size_t>(index)] : nullptr;
  }

 private:
  // REQUIRES: MatchFilter has prepared the program.
  int Evaluate(tagAlarmStr* row);
  int EvaluateIndexed(int index, tagAlarmStr* row);
  const tolvane::filter::DateSettings& DateSettingsForCall();
  void PrepareTerms();

  std::vector<FilterTerm*> terms_;
  std::unique_ptr<tolvane::filter::Program> program_;  // per-call cache
};

namespace tolvane {
using ::AlarmFilter;
using ::FilterTerm;
}  // namespace tolvane
