// The field matchers: each decides one comparison (FilterTerm) on one column
// of a display row and returns 1 when the row satisfies it, else 0. Matchers
// may rewrite a term's op and value in place (unquoted, upper-cased); doing so
// twice gives the same term.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "filter/alarm_filter.h"

namespace tolvane::filter {

// 0 when the whole text matches the pattern ('*' any run, '?' one
// character), non-zero otherwise. Case-sensitive; linear space.
int WildcardMatch(const char* text, const char* pattern);
int WildcardMatch(std::string_view text, std::string_view pattern);

// The code page's upper-casing of single-byte characters and its lead bytes,
// taken once so that a matcher can compare a column to an upper-cased value
// in place, reading it as MbsUpperInPlace would have left it.
struct CaseTable {
  unsigned char upper[256];
  bool lead[256];
  unsigned int codePage;
};
void FillCaseTable(CaseTable* table);

// Where the pattern's trailing run of '*' starts (its size when none).
std::size_t WildcardStarsFrom(std::string_view pattern);
// WildcardMatch(upper-cased text, pattern) == 0, without copying the text;
// `starsFrom` from WildcardStarsFrom(pattern).
bool WildcardMatchFolded(std::string_view text, std::string_view pattern, std::size_t starsFrom,
                         const CaseTable& table);

// Cuts the next node item from `rest`: the text before the first ',' (true),
// or, when there is none, the whole of `rest` as the last item (false, and
// `rest` then holds that item). Leading white space goes from item and rest,
// double quotes from the item.
bool NextNodeItem(std::string_view& rest, std::string_view& item);

// Holds a '*' or '?' (never a trail byte).
bool HasWildcard(std::string_view s);

// What MatchText leaves in a term for the next row: the value unquoted and
// upper-cased, the op upper-cased. Doing so twice gives the same term.
void RewriteTextTerm(FilterTerm* term);

// Drops a leading double quote, cuts at any other, until none is left.
std::string_view RemoveQuotes(std::string_view text);

// Splits an area list at a separator. A token that starts with a double
// quote runs to the first separator after the next quote. Tokens keep their
// quotes and white space; an empty text is one empty token.
class ListSplitter {
 public:
  ListSplitter(std::string_view text, char separator) : rest_(text), separator_(separator) {}
  bool Next(std::string_view& token);

 private:
  std::string_view rest_;
  char separator_;
  bool done_ = false;
};

// Row columns come as views so that unterminated fields are read safely.
int MatchArea(FilterTerm* term, std::string_view areas);
int MatchNode(FilterTerm* term, std::string_view node);
int MatchTagName(FilterTerm* term, std::string_view tag);
int MatchText(FilterTerm* term, std::string_view column);  // description, extension texts
int MatchFlex(int index, FilterTerm* term, const void* block);

inline int MatchArea(FilterTerm* term, const char* areas) {
  return MatchArea(term, std::string_view(areas ? areas : ""));
}
inline int MatchNode(FilterTerm* term, const char* node) {
  return MatchNode(term, std::string_view(node ? node : ""));
}
inline int MatchTagName(FilterTerm* term, const char* tag) {
  return MatchTagName(term, std::string_view(tag ? tag : ""));
}
inline int MatchText(FilterTerm* term, const char* column) {
  return MatchText(term, std::string_view(column ? column : ""));
}

// The flex value `index` (0..7) of a 170-byte field block as text; empty when
// it cannot be read or has no text form. Returns the alarm library's status.
short GetFlexText(const void* block, int index, std::string& text);
short GetFlexText(const void* block, int index, char* text, std::size_t size);

struct PriorityNames;
// The entries [from, to] of the priority names a row may carry for an
// ordered operator and an upper-cased value (none when the value names no
// priority: to < from).
void PriorityRange(const PriorityNames& names, std::string_view value, std::string_view op,
                   int* from, int* to);

int MatchPriority(FilterTerm* term, std::string_view priority);
int MatchAck(FilterTerm* term, const char* flag);
inline int MatchPriority(FilterTerm* term, const char* priority) {
  return MatchPriority(term, std::string_view(priority ? priority : ""));
}

// Without leading and trailing white space.
std::string_view Trim(std::string_view s);

// Reads "%d%c%d%c%d" as sscanf would; numbers that are not there stay 0.
void ReadThree(const char* s, int out[3]);

// The user's date order, read once and reused.
struct DateSettings {
  char separator[4];
  char pattern[48];
};
void ReadDateSettings(DateSettings* settings);

// The user's short date pattern into pattern[48]; 1 when the locale's was
// used, 0 for the fallback "MM<sep>dd<sep>yy".
int GetShortDatePattern(char* pattern);

// Reads the date settings at every call.
int MatchDate(FilterTerm* term, const char* date);
int MatchDate(const FilterTerm* term, const char* date, const DateSettings& settings);
int MatchTime(FilterTerm* term, const char* time);

}  // namespace tolvane::filter
