// Deciding whether a row passes a parsed filter: the infix expression goes
// to postfix and then to a tree once per filter object; each row walks the
// tree only as far as its outcome needs.
#include <cctype>
#include <charconv>
#include <climits>
#include <cstring>

#include "filter/alarm_filter.h"
#include "filter/matchers.h"
#include "filter/prepared_terms.h"
#include "platform/codepage.h"
#include "tolvane/text_field.h"

namespace tolvane::filter {

namespace {

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

// The postfix expression as a tree, so that a row stops being compared once
// its outcome is known: in "A AND B AND C" a row that fails A never reaches
// B or C. The tree gives what the stack walk of the postfix gives: an operand
// missing from the stack is false, and only the value left on top counts.
struct EvalNode {
  char op;          // 0 term, 'f' false, '!' NOT, '*' AND, '+' OR, '-' NOR
  int term;         // op 0
  int first = -1;   // the operand pushed first ('!': its only one)
  int second = -1;  // the operand pushed last
};

struct EvalFrame {
  int node;
  int stage;  // operands evaluated so far
};

namespace {

// Returns the root node, or -1 when the walk leaves nothing on the stack.
int BuildTree(const std::vector<ExprToken>& postfix, std::vector<EvalNode>* nodes) {
  nodes->clear();
  std::vector<int> stack;
  auto pop = [&]() {
    if (stack.empty()) {
      nodes->push_back({'f', 0});
      return static_cast<int>(nodes->size()) - 1;
    }
    int top = stack.back();
    stack.pop_back();
    return top;
  };
  for (const ExprToken& tok : postfix) {
    switch (tok.op) {
      case 0:
        nodes->push_back({0, tok.term});
        break;
      case '!': {
        int operand = pop();
        nodes->push_back({'!', 0, operand});
        break;
      }
      case '*':
      case '+':
      case '-': {
        int last = pop();
        int first = pop();
        nodes->push_back({tok.op, 0, first, last});
        break;
      }
      default:
        continue;  // a '(' that found no ')'
    }
    stack.push_back(static_cast<int>(nodes->size()) - 1);
  }
  return stack.empty() ? -1 : stack.back();
}

}  // namespace

// What one filter object keeps between rows.
struct Program {
  std::string expression;  // the text this was built from
  bool balanced = false;
  std::vector<EvalNode> nodes;
  int root = -1;
  std::vector<EvalFrame> frames;  // evaluation stack, sized for the deepest tree
  std::vector<Field> fields;      // per term
  bool haveDates = false;
  DateSettings dates{};
  // Per term, made ready for comparing in place; a term whose matcher
  // rewrites it gets that rewrite on its first row, as before.
  CaseTable table{};
  std::vector<PreparedTerm> prepared;
  std::vector<bool> rewritePending;
  std::vector<bool> datePending;  // the date order is read when a date is first compared
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
  const auto i = static_cast<std::size_t>(index);
  Field field = program_->fields[i];
  if (program_->datePending[i]) {
    program_->datePending[i] = false;
    try {
      program_->prepared[i] =
          tolvane::filter::PrepareTerm(field, *terms_[i], program_->table, &DateSettingsForCall());
    } catch (...) {
      // Not enough memory to prepare: the plain matcher decides.
    }
  }
  const tolvane::filter::PreparedTerm& prepared = program_->prepared[i];
  if (prepared.kind != tolvane::filter::PreparedTerm::Kind::kPlain) {
    if (program_->rewritePending[i]) {
      program_->rewritePending[i] = false;
      if (field == Field::kNode) {
        tolvane::MbsUpperInPlace(terms_[i]->op);
      } else {
        tolvane::filter::RewriteTextTerm(terms_[i]);
      }
    }
    return tolvane::filter::MatchPrepared(prepared, field, *row, program_->table);
  }
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
      std::vector<ExprToken> infix, postfix;
      TokenizeExpression(program->expression, &infix);
      InfixToPostfix(infix, &postfix);
      program->root = BuildTree(postfix, &program->nodes);
      program->frames.resize(program->nodes.size() + 1);
      program->fields.reserve(terms_.size());
      for (FilterTerm* term : terms_) {
        program->fields.push_back(FieldOf(tolvane::FieldText(term->field)));
      }
      if (program_) {
        // Same filter object, same user: keep what was read from the settings.
        program->haveDates = program_->haveDates;
        program->dates = program_->dates;
      }
      program_ = std::move(program);
      PrepareTerms();
    } catch (...) {
      program_.reset();
      return 0;
    }
  }
  if (!program_->balanced) return 0;
  if (program_->table.codePage != tolvane::GetAnsiCodePage()) {
    try {
      PrepareTerms();  // the code page changed: upper-casing did too
    } catch (...) {
      program_.reset();
      return 0;
    }
  }
  return Evaluate(row);
}

void AlarmFilter::PrepareTerms() {
  using namespace tolvane::filter;
  Program& p = *program_;
  FillCaseTable(&p.table);
  p.prepared.clear();
  p.rewritePending.clear();
  p.datePending.clear();
  for (std::size_t i = 0; i < terms_.size(); ++i) {
    Field field = p.fields[i];
    p.prepared.push_back(PrepareTerm(field, *terms_[i], p.table, nullptr));
    p.rewritePending.push_back(p.prepared.back().rewrite);
    p.datePending.push_back(field == Field::kDateIn || field == Field::kDateLast);
  }
}

unsigned int AlarmFilter::ColumnsRead() const {
  unsigned int columns = 0;
  for (const FilterTerm* term : terms_) {
    columns |=
        tolvane::filter::ColumnsOf(tolvane::filter::FieldOf(tolvane::FieldText(term->field)));
  }
  return columns;
}

int AlarmFilter::Evaluate(tagAlarmStr* row) {
  using tolvane::filter::EvalFrame;
  using tolvane::filter::EvalNode;
  if (program_->root < 0) return 0;
  // An explicit stack: a filter of thousands of terms nests that deep.
  EvalFrame* frames = program_->frames.data();
  std::size_t depth = 0;
  frames[depth++] = {program_->root, 0};
  bool value = false;  // of the node evaluated last
  while (depth > 0) {
    EvalFrame& f = frames[depth - 1];
    const EvalNode& n = program_->nodes[static_cast<std::size_t>(f.node)];
    if (n.op == 0 || n.op == 'f') {
      value = n.op == 0 && EvaluateIndexed(n.term, row) != 0;
      --depth;
    } else if (f.stage == 0) {
      f.stage = 1;
      frames[depth++] = {n.first, 0};
    } else if (n.op == '!') {
      value = !value;
      --depth;
    } else if (f.stage == 1 && (n.op == '*' ? value : !value)) {
      // The first operand leaves the outcome open.
      f.stage = 2;
      frames[depth++] = {n.second, 0};
    } else {
      // Decided by the first operand, or the second operand's value decides.
      if (f.stage == 1) {
        value = n.op == '+';  // AND of false, OR of true, NOR of true
      } else if (n.op == '-') {
        value = !value;
      }
      --depth;
    }
  }
  return value ? 1 : 0;
}
