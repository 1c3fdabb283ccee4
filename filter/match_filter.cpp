// Deciding whether a row passes a parsed filter: the infix expression goes
// to postfix once per filter object, then each row is one walk over it.
#include <cctype>
#include <charconv>
#include <climits>
#include <cstring>

#include "filter/alarm_filter.h"
#include "filter/matchers.h"
#include "tolvane/text_field.h"

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

namespace {

Field FieldOf(std::string_view name) {
  static constexpr struct {
    std::string_view name;
    Field field;
  } kTable[] = {
      {"ASF_AREA", Field::kArea},
      {"ASF_ACK", Field::kAck},
      {"ASF_DATEIN", Field::kDateIn},
      {"ASF_DATELAST", Field::kDateLast},
      {"ASF_DESCRIPTION", Field::kDescription},
      {"ASF_NODE", Field::kNode},
      {"ASF_PRIORITY", Field::kPriority},
      {"ASF_TAGNAME", Field::kTagName},
      {"ASF_TIMEIN", Field::kTimeIn},
      {"ASF_TIMELAST", Field::kTimeLast},
      {"ASF_ALMEXT1", Field::kExt1},
      {"ASF_ALMEXT2", Field::kExt2},
  };
  for (const auto& e : kTable) {
    if (name == e.name) return e.field;
  }
  if (name.size() == 9 && name.substr(0, 8) == "ASF_FLEX" && name[8] >= '1' && name[8] <= '8') {
    return static_cast<Field>(static_cast<int>(Field::kFlex1) + (name[8] - '1'));
  }
  return Field::kUnknown;
}

bool IsOperatorChar(char c) {
  return c == '*' || c == '+' || c == '!' || c == '-' || c == '(';
}

// Fixed-capacity character stack; pop and peek of an empty one give 0xFF.
class OpStack {
 public:
  explicit OpStack(std::size_t capacity) { items_.reserve(capacity); }
  bool empty() const { return items_.empty(); }
  void push(char c) { items_.push_back(c); }
  char peek() const { return items_.empty() ? static_cast<char>(0xFF) : items_.back(); }
  char pop() {
    if (items_.empty()) return static_cast<char>(0xFF);
    char c = items_.back();
    items_.pop_back();
    return c;
  }

 private:
  std::vector<char> items_;
};

}  // namespace

bool PopsBefore(char stacked, char incoming) {
  switch (stacked) {
    case '!':
      return incoming != '(';
    case '*':
      return incoming == '+' || incoming == '-';
    case '+':
      return incoming == '-';
    default:
      return false;
  }
}

void TokenizeExpression(std::string_view e, std::vector<ExprToken>* out) {
  out->clear();
  int expected = 0;
  for (std::size_t i = 0; i < e.size();) {
    char c = e[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      // Indexes come in order, so the next one's digits tell where it ends.
      char digits[16];
      auto [end, ec] = std::to_chars(digits, digits + sizeof digits, expected);
      std::size_t len = static_cast<std::size_t>(end - digits);
      int term;
      if (ec == std::errc() && e.substr(i, len) == std::string_view(digits, len)) {
        term = expected;
      } else {
        len = 0;
        long value = 0;
        while (i + len < e.size() && std::isdigit(static_cast<unsigned char>(e[i + len]))) {
          if (value < INT_MAX / 10) value = value * 10 + (e[i + len] - '0');
          ++len;
        }
        term = static_cast<int>(value);
      }
      out->push_back({0, term});
      expected = term < INT_MAX ? term + 1 : term;
      i += len;
      continue;
    }
    if (IsOperatorChar(c) || c == ')') out->push_back({c, 0});
    ++i;
  }
}

void InfixToPostfix(const std::vector<ExprToken>& infix, std::vector<ExprToken>* postfix) {
  postfix->clear();
  postfix->reserve(infix.size());
  OpStack stack(infix.size());
  for (const ExprToken& tok : infix) {
    if (tok.op == 0) {
      postfix->push_back(tok);
    } else if (IsOperatorChar(tok.op)) {
      if (!stack.empty() && PopsBefore(stack.peek(), tok.op)) {
        postfix->push_back({stack.pop(), 0});
        while (stack.peek() != '(' && PopsBefore(stack.peek(), tok.op)) {
          postfix->push_back({stack.pop(), 0});
        }
      }
      stack.push(tok.op);
    } else if (tok.op == ')') {
      while (!stack.empty()) {
        char top = stack.pop();
        if (top == '(') break;
        postfix->push_back({top, 0});
      }
    }
  }
  while (!stack.empty()) postfix->push_back({stack.pop(), 0});
}

std::string PostfixText(std::string_view expression) {
  std::vector<ExprToken> infix, postfix;
  TokenizeExpression(expression, &infix);
  InfixToPostfix(infix, &postfix);
  std::string text;
  for (const ExprToken& tok : postfix) {
    if (!text.empty()) text += ' ';
    if (tok.op == 0) {
      text += std::to_string(tok.term);
    } else {
      text += tok.op;
    }
  }
  return text;
}

// What one filter object keeps between rows.
struct Program {
  std::string expression;  // the text this was built from
  bool balanced = false;
  std::vector<ExprToken> postfix;
  std::vector<Field> fields;  // per term
  std::vector<char> values;   // evaluation stack, sized for the worst case
  bool haveDates = false;
  DateSettings dates{};
};

}  // namespace tolvane::filter

using tolvane::filter::DateSettings;
using tolvane::filter::Field;
using tolvane::filter::Program;

AlarmFilter::AlarmFilter() = default;

AlarmFilter::~AlarmFilter() {
  RemoveAll();
}

void AlarmFilter::RemoveAll() {
  for (FilterTerm* term : terms_) delete term;
  terms_.clear();
  program_.reset();
}

const DateSettings& AlarmFilter::DateSettingsForCall() {
  // Only reached through MatchFilter, which has made the program.
  if (!program_->haveDates) {
    tolvane::filter::ReadDateSettings(&program_->dates);
    program_->haveDates = true;
  }
  return program_->dates;
}

namespace {

int Dispatch(Field field, FilterTerm* term, tagAlarmStr* row, const DateSettings* dates) {
  using namespace tolvane::filter;
  using tolvane::FieldText;
  switch (field) {
    case Field::kArea:
      return MatchArea(term, FieldText(row->areas));
    case Field::kAck: {
      const char flag[2] = {row->ack[0], '\0'};
      return MatchAck(term, flag);
    }
    case Field::kDateIn:
    case Field::kDateLast: {
      std::string_view col = FieldText(field == Field::kDateIn ? row->dateIn : row->dateLast);
      char date[sizeof row->dateIn];
      tolvane::SetFieldText(date, col);
      if (dates) return MatchDate(term, date, *dates);
      return MatchDate(term, date);
    }
    case Field::kDescription:
      return MatchText(term, FieldText(row->description));
    case Field::kNode:
      return MatchNode(term, FieldText(row->node));
    case Field::kPriority:
      return MatchPriority(term, FieldText(row->priority));
    case Field::kTagName:
      return MatchTagName(term, FieldText(row->tagName));
    case Field::kTimeIn:
    case Field::kTimeLast: {
      std::string_view col = FieldText(field == Field::kTimeIn ? row->timeIn : row->timeLast);
      char time[sizeof row->timeIn];
      tolvane::SetFieldText(time, col);
      return MatchTime(term, time);
    }
    case Field::kExt1:
      return MatchText(term, FieldText(row->ext1));
    case Field::kExt2:
      return MatchText(term, FieldText(row->ext2));
    case Field::kUnknown:
      return 1;
    default: {
      int index = static_cast<int>(field) - static_cast<int>(Field::kFlex1);
      return MatchFlex(index, term, row->fieldBlock);
    }
  }
}

}  // namespace

int AlarmFilter::EvaluateTerm(FilterTerm* term, tagAlarmStr* row) {
  if (!term || !row) return 0;
  Field field = tolvane::filter::FieldOf(tolvane::FieldText(term->field));
  const DateSettings* dates = program_ ? &DateSettingsForCall() : nullptr;
  if (field != Field::kDateIn && field != Field::kDateLast) dates = nullptr;
  return Dispatch(field, term, row, dates);
}

int AlarmFilter::EvaluateIndexed(int index, tagAlarmStr* row) {
  // An index with no term behind it (a hand-made expression) is false.
  if (index < 0 || static_cast<std::size_t>(index) >= terms_.size()) return 0;
  Field field = program_->fields[static_cast<std::size_t>(index)];
  const DateSettings* dates =
      (field == Field::kDateIn || field == Field::kDateLast) ? &DateSettingsForCall() : nullptr;
  return Dispatch(field, terms_[static_cast<std::size_t>(index)], row, dates);
}

int AlarmFilter::MatchFilter(const char* expression, tagAlarmStr* row) {
  using namespace tolvane::filter;
  if (!expression || !row) return 0;
  if (!program_ || program_->expression != expression) {
    try {
      auto program = std::make_unique<Program>();
      program->expression = expression;
      program->balanced = CheckParenBalance(program->expression);
      std::vector<ExprToken> infix;
      TokenizeExpression(program->expression, &infix);
      InfixToPostfix(infix, &program->postfix);
      program->fields.reserve(terms_.size());
      for (FilterTerm* term : terms_) {
        program->fields.push_back(FieldOf(tolvane::FieldText(term->field)));
      }
      program->values.resize(program->postfix.size() + 1);
      if (program_) {
        // Same filter object, same user: keep what was read from the settings.
        program->haveDates = program_->haveDates;
        program->dates = program_->dates;
      }
      program_ = std::move(program);
    } catch (...) {
      program_.reset();
      return 0;
    }
  }
  if (!program_->balanced) return 0;
  return EvaluatePostfix(row);
}

int AlarmFilter::EvaluatePostfix(tagAlarmStr* row) {
  using tolvane::filter::ExprToken;
  // Values are '1' for true, anything else false; an empty stack pops false.
  char* values = program_->values.data();
  std::size_t depth = 0;
  auto pop = [&]() -> bool { return depth > 0 && values[--depth] == '1'; };
  for (const ExprToken& tok : program_->postfix) {
    switch (tok.op) {
      case 0:
        values[depth++] = EvaluateIndexed(tok.term, row) ? '1' : '0';
        break;
      case '*':
      case '+':
      case '-': {
        bool a = pop();
        bool b = pop();
        bool r = tok.op == '*' ? (a && b) : tok.op == '+' ? (a || b) : !(a || b);
        values[depth++] = r ? '1' : '0';
        break;
      }
      case '!':
        values[depth++] = pop() ? '0' : '1';
        break;
      default:
        break;  // a '(' that found no ')'
    }
  }
  if (depth == 0) return 0;
  return values[depth - 1] == '0' ? 0 : 1;
}
