// Matchers of the fields with an order or a fixed vocabulary: priority,
// acknowledge state, dates and times.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "filter/matchers.h"
#include "filter/process_caches.h"
#include "platform/codepage.h"
#include "platform/locale.h"
#include "tolvane/text_field.h"

namespace tolvane::filter {
namespace {

bool IsWhite(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Upper-cased, trimmed copy into buf[size].
std::string_view UpperTrimmed(std::string_view text, char* buf, std::size_t size) {
  SetFieldText(buf, size, text);
  MbsUpperInPlace(buf);
  return Trim(std::string_view(buf));
}

}  // namespace

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsWhite(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsWhite(s.back())) s.remove_suffix(1);
  return s;
}

// A number (white space, sign and digits), any one character, a number, any
// one character, a number. Values beyond int are held at its limits.
void ReadThree(const char* s, int out[3]) {
  out[0] = out[1] = out[2] = 0;
  if (!s) return;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      if (*s == '\0') return;
      ++s;
    }
    while (*s && std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*s))) return;
    long long v = 0;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
      if (v <= INT_MAX) v = v * 10 + (*s - '0');
    }
    if (negative) v = -v;
    out[k] = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
  }
}

namespace {

// Ordered triple comparison for one operator; `a` is the row, `b` the value,
// most significant first.
int Compare(std::string_view op, const int a[3], const int b[3]) {
  bool equal = a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
  bool after = a[0] > b[0] || (a[0] == b[0] && (a[1] > b[1] || (a[1] == b[1] && a[2] > b[2])));
  if (op == "=") return equal;
  if (op == "<>") return !equal;
  if (op == ">") return after;
  if (op == ">=") return after || equal;
  if (op == "<") return !after && !equal;
  if (op == "<=") return !after || equal;
  return 0;
}

enum Part { kNoPart = -1, kYear = 0, kMonth = 1, kDay = 2 };

Part PartOf(char c) {
  switch (c) {
    case 'Y':
    case 'y':
      return kYear;
    case 'M':
    case 'm':
      return kMonth;
    case 'D':
    case 'd':
      return kDay;
    default:
      return kNoPart;
  }
}

}  // namespace

int MatchPriority(FilterTerm* term, std::string_view priority) {
  if (!term) return 0;
  const PriorityNames& names = GetPriorityNames();
  char rowBuf[sizeof term->value], valueBuf[sizeof term->value];
  std::string_view row = UpperTrimmed(priority, rowBuf, sizeof rowBuf);
  std::string_view value = UpperTrimmed(FieldText(term->value), valueBuf, sizeof valueBuf);
  std::string_view op = FieldText(term->op);
  if (op == "=") return row == value;
  if (op == "<>") return row != value;

  int from = 0, to = -1;
  PriorityRange(names, value, op, &from, &to);
  for (int i = from; i <= to; ++i) {
    if (row == FieldText(names.names[i])) return 1;
  }
  return 0;
}

void PriorityRange(const PriorityNames& names, std::string_view value, std::string_view op,
                   int* from, int* to) {
  int k = -1;
  for (int i = 0; i < 7 && k < 0; ++i) {
    if (value == FieldText(names.names[i])) k = i;
  }
  *from = 0;
  *to = k;  // none when k < 0
  if (k < 0) return;
  // The entries the row must be one of: at or above k for ">=", strictly
  // above for ">", strictly below for "<", at or below for everything else.
  if (op == ">=")
    *from = k, *to = 6;
  else if (op == ">")
    *from = k + 1, *to = 6;
  else if (op == "<")
    *to = k - 1;
}

int MatchAck(FilterTerm* term, const char* flag) {
  if (!term) return 0;
  const AckWords& words = GetAckWords();
  std::string_view value = Trim(FieldText(term->value));
  std::string_view f = Trim(flag ? std::string_view(flag) : std::string_view());
  if (MbsIEqual(value, FieldText(words.acknowledged)) && f == "1") return 1;
  if (MbsIEqual(value, FieldText(words.unacknowledged)) && f == "0") return 1;
  return 0;
}

int GetShortDatePattern(char* pattern) {
  char format[50] = {};
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SSHORTDATE, format, sizeof format) > 0) {
    format[sizeof format - 1] = '\0';
    std::string_view f(format);
    std::size_t y = MbsFind(f, 'y');
    if (y != std::string_view::npos && MbsFind(f.substr(y + 1), 'y') != std::string_view::npos) {
      if (pattern) CopyText(pattern, 48, format);
      return 1;
    }
  }
  char separator[4];
  ReadDateSeparator(separator);
  char fallback[16];
  std::snprintf(fallback, sizeof fallback, "MM%sdd%syy", separator, separator);
  if (pattern) CopyText(pattern, 48, fallback);
  return 0;
}

void ReadDateSettings(DateSettings* settings) {
  if (!settings) return;
  ReadDateSeparator(settings->separator);
  GetShortDatePattern(settings->pattern);
}

int MatchDate(const FilterTerm* term, const char* date, const DateSettings& settings) {
  if (!term) return 0;
  std::string_view pattern = FieldText(settings.pattern);
  std::string_view separator = FieldText(settings.separator);

  // Which part of the date each of the three numbers is.
  Part parts[3] = {kNoPart, kNoPart, kNoPart};
  auto at = [&](std::size_t i) { return i < pattern.size() ? pattern[i] : '\0'; };
  parts[0] = PartOf(at(0));
  std::size_t first = pattern.find(separator);
  if (first != std::string_view::npos) {
    parts[1] = PartOf(at(first + 1));
    std::size_t second = pattern.find(separator, first + 1);
    if (second != std::string_view::npos) parts[2] = PartOf(at(second + 1));
  }

  int rowNums[3], valueNums[3];
  char value[sizeof term->value];
  SetFieldText(value, FieldText(term->value));
  ReadThree(date, rowNums);
  ReadThree(value, valueNums);
  int row[3] = {0, 0, 0}, val[3] = {0, 0, 0};  // year, month, day
  for (int i = 0; i < 3; ++i) {
    if (parts[i] == kNoPart) continue;
    row[parts[i]] = rowNums[i];
    val[parts[i]] = valueNums[i];
  }
  return Compare(FieldText(term->op), row, val);
}

int MatchDate(FilterTerm* term, const char* date) {
  DateSettings settings;
  ReadDateSettings(&settings);
  return MatchDate(term, date, settings);
}

int MatchTime(FilterTerm* term, const char* time) {
  if (!term) return 0;
  int row[3], val[3];  // hour, minute, second
  char value[sizeof term->value];
  SetFieldText(value, FieldText(term->value));
  ReadThree(value, val);
  ReadThree(time, row);
  return Compare(FieldText(term->op), row, val);
}

}  // namespace tolvane::filter
