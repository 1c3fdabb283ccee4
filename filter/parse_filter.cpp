// Reading an operator's filter text into terms and an infix expression.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "filter/alarm_filter.h"
#include "filter/process_caches.h"
#include "platform/codepage.h"
#include "tolvane/text_field.h"

namespace tolvane::filter {
namespace {

constexpr std::string_view kFieldNames[] = {
    "ASF_AREA",     "ASF_ACK",     "ASF_DATEIN",  "ASF_DATELAST", "ASF_TIMEIN",
    "ASF_TIMELAST", "ASF_NODE",    "ASF_TAGNAME", "ASF_PRIORITY", "ASF_DESCRIPTION",
    "ASF_ALMEXT1",  "ASF_ALMEXT2", "ASF_FLEX1",   "ASF_FLEX2",    "ASF_FLEX3",
    "ASF_FLEX4",    "ASF_FLEX5",   "ASF_FLEX6",   "ASF_FLEX7",    "ASF_FLEX8"};

constexpr std::string_view kSymbols[] = {"=", "<>", ">", ">=", "<", "<="};

constexpr std::size_t kMaxValue = sizeof(FilterTerm::value) - 1;

bool IsFilterSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// One run of the parse. Keeps the text not yet read as an offset into the
// filter and writes the expression within its size.
class Parser {
 public:
  Parser(std::string_view filter, char* expression, std::size_t size,
         std::vector<FilterTerm*>& terms, ParseProblem* problem)
      : filter_(filter), expr_(expression), size_(size), terms_(terms), problem_(problem) {}

  bool Run();

 private:
  enum State { kFieldOrConnective = 1, kOperator = 2, kValue = 3 };

  bool Fail(std::size_t position, std::string_view token, const char* reason) {
    if (problem_) {
      problem_->position = position;
      try {
        problem_->token.assign(token);
      } catch (...) {
        problem_->token.clear();
      }
      problem_->reason = reason;
    }
    return false;
  }

  bool Append(char c) {
    if (used_ + 1 >= size_) return false;
    expr_[used_++] = c;
    return true;
  }
  bool AppendNumber(int n) {
    char digits[16];
    int len = std::snprintf(digits, sizeof digits, "%d", n);
    for (int i = 0; i < len; ++i) {
      if (!Append(digits[i])) return false;
    }
    return true;
  }

  // A token read in state 1: a connective or a field name that opens a term.
  bool FieldOrConnective(std::string_view t, std::size_t at);
  bool StoreValue(std::string_view t);

  std::string_view filter_;
  char* expr_;
  std::size_t size_;
  std::size_t used_ = 0;
  std::vector<FilterTerm*>& terms_;
  ParseProblem* problem_;

  State state_ = kFieldOrConnective;
  int count_ = 0;
  int tokensRead_ = 0;
  bool anyValue_ = false;
  bool droppedParenValue_ = false;  // a value holding '(' was passed over
};

bool Parser::FieldOrConnective(std::string_view t, std::size_t at) {
  char code = KeywordCode(t);
  if (code != '0') {
    if (!Append(code)) return Fail(at, t, kReasonNoRoom);
    return true;
  }
  if (!IsFilterField(t)) return Fail(at, t, kReasonField);
  if (!AppendNumber(count_)) return Fail(at, t, kReasonNoRoom);
  ++count_;
  auto* term = new (std::nothrow) FilterTerm{};
  if (!term) return Fail(at, t, kReasonNoMemory);
  try {
    terms_.push_back(term);
  } catch (...) {
    delete term;
    return Fail(at, t, kReasonNoMemory);
  }
  SetFieldText(term->field, t);
  MbsUpperInPlace(term->field);
  state_ = kOperator;
  return true;
}

bool Parser::StoreValue(std::string_view t) {
  if (terms_.empty()) return false;  // cannot happen: state 3 follows a field name
  SetFieldText(terms_.back()->value, t);
  anyValue_ = true;
  droppedParenValue_ = false;
  state_ = kFieldOrConnective;
  return true;
}

bool Parser::Run() {
  std::size_t r = 0;  // start of the text not yet read
  std::string t;
  try {
    t.reserve(filter_.size());
  } catch (...) {
    return Fail(0, {}, kReasonNoMemory);
  }
  while (true) {
    while (r < filter_.size() && IsFilterSpace(filter_[r])) ++r;
    const std::size_t at = r;
    bool noClosingQuote = false;
    t.clear();
    if (state_ == kValue) {
      if (r >= filter_.size() || filter_[r] != '"') {
        std::string_view rest = filter_.substr(r);
        rest = rest.substr(0, rest.find(' '));
        return Fail(at, rest, droppedParenValue_ ? kReasonParenInValue : kReasonQuoted);
      }
      std::size_t close = filter_.find('"', r + 1);
      if (close != std::string_view::npos) {
        t.assign(filter_.substr(r + 1, close - r - 1));
        r = close + 1;
      } else {
        noClosingQuote = true;
        r = r + 1;
      }
      while (r < filter_.size() && filter_[r] == ')') {
        t.push_back(')');
        ++r;
      }
    } else {
      std::size_t space = filter_.find(' ', r);
      if (space == std::string_view::npos) {
        // The last word has no space after it: it is never read as a token.
        std::string_view rest = filter_.substr(r);
        if (rest.empty()) {
          if (tokensRead_ == 0) return Fail(at, rest, kReasonEmpty);
          return Fail(
              at, rest,
              state_ == kFieldOrConnective && anyValue_ ? kReasonTrailingSpace : kReasonIncomplete);
        }
        if (state_ == kFieldOrConnective && anyValue_) return Fail(at, rest, kReasonTrailingText);
        return Fail(at, rest, kReasonIncomplete);
      }
      t.assign(filter_.substr(r, space - r));
      r = space;
    }
    ++tokensRead_;

    const std::size_t open = t.find('(');
    const std::size_t close = t.find(')');
    if (open == std::string::npos && close == std::string::npos) {
      switch (state_) {
        case kFieldOrConnective:
          if (!FieldOrConnective(t, at)) return false;
          break;
        case kOperator:
          if (!IsFilterOperator(t)) return Fail(at, t, kReasonOperator);
          SetFieldText(terms_.back()->op, t);
          state_ = kValue;
          break;
        case kValue:
          if (t.size() > kMaxValue) return Fail(at, t, kReasonValueTooLong);
          if (!IsFilterValue(t)) {
            return Fail(at, t, noClosingQuote ? kReasonNoClosingQuote : kReasonEmptyValue);
          }
          StoreValue(t);
          if (r == filter_.size()) return true;
          break;
      }
    } else if (open != std::string::npos) {
      if (open > 0) {
        char code = KeywordCode(std::string_view(t).substr(0, open));
        if (code != '0' && !Append(code)) return Fail(at, t, kReasonNoRoom);
      }
      std::size_t q = open;
      for (; q < t.size() && t[q] == '('; ++q) {
        if (!Append('(')) return Fail(at, t, kReasonNoRoom);
      }
      if (q < t.size() && state_ == kFieldOrConnective) {
        if (!FieldOrConnective(std::string_view(t).substr(q), at + q)) return false;
      } else if (state_ == kValue) {
        droppedParenValue_ = true;
      }
    } else {
      std::size_t q = close;
      for (; q < t.size() && t[q] == ')'; ++q) {
        if (!Append(')')) return Fail(at, t, kReasonNoRoom);
      }
      t.resize(t.size() - (q - close));
      if (state_ == kValue) {
        if (t.size() > kMaxValue) return Fail(at, t, kReasonValueTooLong);
        StoreValue(t);
        if (r == filter_.size()) return true;
      }
    }
  }
}

}  // namespace

bool CheckParenBalance(std::string_view text) {
  long balance = 0;
  for (char c : text) {
    if (c == '(') ++balance;
    if (c == ')') --balance;
  }
  return balance == 0;
}

char KeywordCode(std::string_view token) {
  if (MbsIEqual(token, "AND")) return '*';
  if (MbsIEqual(token, "OR")) return '+';
  if (MbsIEqual(token, "NOT")) return '!';
  if (MbsIEqual(token, "NOR")) return '-';
  return '0';
}

bool IsFilterField(std::string_view token) {
  for (std::string_view name : kFieldNames) {
    if (token == name) return true;
  }
  return false;
}

bool IsFilterOperator(std::string_view token) {
  for (std::string_view symbol : kSymbols) {
    if (token == symbol) return true;
  }
  OperatorWords scratch;
  const OperatorWords& words = GetOperatorWords(scratch);
  for (const Word& w : words.words) {
    // A word that could not be loaded is no operator.
    if (!w.empty() && token == w.text) return true;
  }
  return false;
}

bool IsFilterValue(std::string_view text) {
  return !text.empty() && text.size() <= kMaxValue;
}

}  // namespace tolvane::filter

int AlarmFilter::ParseFilter(const char* filter, char* expression, int expressionSize) {
  return ParseFilter(filter, expression, expressionSize, nullptr);
}

int AlarmFilter::ParseFilter(const char* filter, char* expression, int expressionSize,
                             tolvane::filter::ParseProblem* problem) {
  using namespace tolvane::filter;
  RemoveAll();
  if (expression && expressionSize > 0) {
    std::memset(expression, 0, static_cast<std::size_t>(expressionSize));
  }
  if (!filter || !expression || expressionSize <= 0) {
    if (problem) *problem = ParseProblem{0, {}, kReasonNoRoom};
    return 0;
  }
  std::string_view text(filter);
  if (!CheckParenBalance(text)) {
    if (problem) {
      problem->position = 0;
      problem->token.clear();
      problem->reason = kReasonUnbalanced;
    }
    return 0;
  }
  Parser parser(text, expression, static_cast<std::size_t>(expressionSize), terms_, problem);
  if (parser.Run()) return 1;
  expression[0] = '\0';
  return 0;
}
