// What a parsed filter must answer for a row, worked out the slow way: the
// stack walk of its postfix form with every comparison made. A matcher that
// stops comparing early must still agree with it.
#pragma once

#include <cctype>
#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "filter/alarm_filter.h"

namespace tolvane::testing {

inline int MatchByComparingEverything(AlarmFilter& filter, const char* expression,
                                      tagAlarmStr* row) {
  if (!filter::CheckParenBalance(expression)) return 0;
  std::istringstream in(filter::PostfixText(expression));
  std::vector<bool> stack;
  auto pop = [&] {
    if (stack.empty()) return false;
    bool v = stack.back();
    stack.pop_back();
    return v;
  };
  for (std::string tok; in >> tok;) {
    if (std::isdigit(static_cast<unsigned char>(tok[0]))) {
      long index = 0;
      for (char c : tok) index = index < INT_MAX / 10 ? index * 10 + (c - '0') : INT_MAX;
      FilterTerm* term = filter.GetAt(static_cast<int>(index));
      stack.push_back(term && filter.EvaluateTerm(term, row));
    } else if (tok == "!") {
      stack.push_back(!pop());
    } else if (tok == "*" || tok == "+" || tok == "-") {
      bool a = pop(), b = pop();
      stack.push_back(tok == "*" ? a && b : tok == "+" ? a || b : !(a || b));
    }
  }
  return !stack.empty() && stack.back() ? 1 : 0;
}

}  // namespace tolvane::testing
