// Comparisons prepared once per filter. Every result here equals the plain
// matcher's (text_matchers.cpp, ordered_matchers.cpp) for the same term and
// row: the column is read as the plain matcher's upper-cased copy of it would
// read, through the case table, instead of being copied.
#include "filter/prepared_terms.h"

#include <cstring>

#include "filter/process_caches.h"
#include "platform/codepage.h"
#include "tolvane/text_field.h"

namespace tolvane::filter {

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

uint32_t ColumnsOf(Field field) {
  switch (field) {
    case Field::kUnknown:
      return 0;
    case Field::kArea:
      return kColumnAreas;
    case Field::kAck:
      return kColumnAck;
    case Field::kDateIn:
      return kColumnDateIn;
    case Field::kDateLast:
      return kColumnDateLast;
    case Field::kDescription:
      return kColumnDescription;
    case Field::kNode:
      return kColumnNode;
    case Field::kPriority:
      return kColumnPriority;
    case Field::kTagName:
      return kColumnTagName;
    case Field::kTimeIn:
      return kColumnTimeIn;
    case Field::kTimeLast:
      return kColumnTimeLast;
    case Field::kExt1:
      return kColumnExt1;
    case Field::kExt2:
      return kColumnExt2;
    default:
      return kColumnFieldBlock;
  }
}

void FillCaseTable(CaseTable* table) {
  table->codePage = GetAnsiCodePage();
  for (unsigned int c = 0; c < 256; ++c) {
    char one[2] = {static_cast<char>(c), '\0'};
    MbsUpperInPlace(one);  // alone, a lead byte is upper-cased as a single byte
    table->upper[c] = static_cast<unsigned char>(one[0]);
    table->lead[c] = IsLeadByte(static_cast<unsigned char>(c));
  }
  table->upper[0] = 0;
}

namespace {

using Kind = PreparedTerm::Kind;
using Op = PreparedTerm::Op;
using Role = PreparedTerm::Role;

std::string Upper(std::string_view text) {
  std::string s(text);
  MbsUpperInPlace(s);
  return s;
}

// upper(column) == upper-cased value, read in place.
bool FoldEqual(std::string_view column, std::string_view upper, const CaseTable& t) {
  if (column.size() != upper.size()) return false;
  for (std::size_t i = 0; i < column.size();) {
    auto c = static_cast<unsigned char>(column[i]);
    if (t.lead[c] && i + 1 < column.size()) {
      if (column[i] != upper[i] || column[i + 1] != upper[i + 1]) return false;
      i += 2;
    } else {
      if (static_cast<char>(t.upper[c]) != upper[i]) return false;
      ++i;
    }
  }
  return true;
}

// Whether the upper-cased needle occurs in upper(hay) at a character start.
bool FoldContains(std::string_view hay, std::string_view needle, const CaseTable& t) {
  if (needle.empty()) return true;
  for (std::size_t i = 0; i + needle.size() <= hay.size();) {
    std::size_t k = 0;
    while (k < needle.size()) {
      auto c = static_cast<unsigned char>(hay[i + k]);
      if (t.lead[c] && i + k + 1 < hay.size()) {
        if (hay[i + k] != needle[k]) break;
        if (k + 1 < needle.size() && hay[i + k + 1] != needle[k + 1]) break;
        k += 2;
      } else {
        if (static_cast<char>(t.upper[c]) != needle[k]) break;
        ++k;
      }
    }
    if (k >= needle.size()) return true;
    i += (t.lead[static_cast<unsigned char>(hay[i])] && i + 1 < hay.size()) ? 2 : 1;
  }
  return false;
}

PreparedPattern Pattern(std::string text) {
  PreparedPattern p;
  p.wild = HasWildcard(text);
  p.starsFrom = WildcardStarsFrom(text);
  p.text = std::move(text);
  return p;
}

bool Agree(const PreparedPattern& p, std::string_view column, const CaseTable& t) {
  return p.wild ? WildcardMatchFolded(column, p.text, p.starsFrom, t)
                : FoldEqual(column, p.text, t);
}

Op OpOf(std::string_view op) {
  if (op == "=") return Op::kEq;
  if (op == "<>") return Op::kNe;
  if (op == ">") return Op::kGt;
  if (op == ">=") return Op::kGe;
  if (op == "<") return Op::kLt;
  if (op == "<=") return Op::kLe;
  return Op::kNone;
}

// As the plain matchers' ordered triple comparison.
int CompareTriple(Op op, const int a[3], const int b[3]) {
  bool equal = a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
  bool after = a[0] > b[0] || (a[0] == b[0] && (a[1] > b[1] || (a[1] == b[1] && a[2] > b[2])));
  switch (op) {
    case Op::kEq:
      return equal;
    case Op::kNe:
      return !equal;
    case Op::kGt:
      return after;
    case Op::kGe:
      return after || equal;
    case Op::kLt:
      return !after && !equal;
    case Op::kLe:
      return !after || equal;
    case Op::kNone:
      break;
  }
  return 0;
}

signed char PartOf(char c) {
  switch (c) {
    case 'Y':
    case 'y':
      return 0;
    case 'M':
    case 'm':
      return 1;
    case 'D':
    case 'd':
      return 2;
    default:
      return -1;
  }
}

// A word that could not be loaded equals no operator.
bool IsWord(std::string_view op, const Word& word) {
  return !word.empty() && op.size() == std::strlen(word.text) && MbsIEqual(op, word.text);
}

void PrepareText(PreparedTerm& p, const FilterTerm& term) {
  ContainmentWords scratch;
  const ContainmentWords& words = GetContainmentWords(scratch);
  if (&words == &scratch) return;  // still being retried
  FilterTerm rewritten = term;
  RewriteTextTerm(&rewritten);
  std::string_view op = FieldText(rewritten.op);
  p.role = IsWord(op, words.contains)       ? Role::kContains
           : IsWord(op, words.notContains)  ? Role::kNotContains
           : IsWord(op, words.containsOnly) ? Role::kContainsOnly
                                            : Role::kNone;
  p.value = Pattern(std::string(FieldText(rewritten.value)));
  p.rewrite = true;
  p.kind = Kind::kText;
}

void PreparePriority(PreparedTerm& p, const FilterTerm& term) {
  const PriorityNames& names = GetPriorityNames();
  char valueBuf[sizeof term.value];
  SetFieldText(valueBuf, FieldText(term.value));
  MbsUpperInPlace(valueBuf);
  p.value.text = std::string(Trim(valueBuf));
  std::string_view op = FieldText(term.op);
  p.op = op == "=" ? Op::kEq : op == "<>" ? Op::kNe : Op::kNone;
  if (p.op == Op::kNone) {
    int from = 0, to = -1;
    PriorityRange(names, p.value.text, op, &from, &to);
    for (int i = from; i <= to; ++i) p.names.emplace_back(FieldText(names.names[i]));
  }
  p.kind = Kind::kPriority;
}

void PrepareNode(PreparedTerm& p, const FilterTerm& term) {
  Word scratch;
  const Word& word = GetNodeMembershipWord(scratch);
  if (&word == &scratch) return;
  const LocalNodeNames& names = GetLocalNodeNames();
  p.membership = IsWord(Upper(FieldText(term.op)), word);
  auto add = [&](std::string_view raw) {
    PreparedPattern item;
    if (raw.size() > 8) {
      item.tooLong = true;
    } else {
      item = Pattern(Upper(raw));
    }
    p.items.push_back(std::move(item));
  };
  std::string value(FieldText(term.value));
  std::string_view rest(value), item;
  while (NextNodeItem(rest, item)) add(item);
  add(rest);
  p.names = {std::string(FieldText(names.local)), std::string(FieldText(names.alias1)),
             std::string(FieldText(names.alias2))};
  p.rewrite = true;
  p.kind = Kind::kNode;
}

void PrepareArea(PreparedTerm& p, const FilterTerm& term) {
  Word allScratch, memberScratch;
  const Word& all = GetAllAreaText(allScratch);
  const Word& word = GetAreaMembershipWord(memberScratch);
  if (&all == &allScratch || &word == &memberScratch) return;
  p.allArea = std::string(FieldText(all.text));
  p.membership = IsWord(FieldText(term.op), word);
  std::string_view value = FieldText(term.value);
  ListSplitter values(value, ',');
  for (std::string_view v; values.Next(v);) p.items.push_back(Pattern(std::string(v)));
  p.kind = Kind::kArea;
}

bool SameWithoutCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && MbsIEqual(a, b);
}

}  // namespace

PreparedTerm PrepareTerm(Field field, const FilterTerm& term, const CaseTable& table,
                         const DateSettings* dates) {
  PreparedTerm p;
  if (table.codePage != GetAnsiCodePage()) return p;
  switch (field) {
    case Field::kTagName: {
      char value[sizeof term.value];
      SetFieldText(value, FieldText(term.value));
      MbsUpperInPlace(value);
      p.value = Pattern(value);
      std::string_view op = FieldText(term.op);
      p.op = op == "=" ? Op::kEq : op == "<>" ? Op::kNe : Op::kNone;
      p.kind = Kind::kTag;
      break;
    }
    case Field::kDescription:
    case Field::kExt1:
    case Field::kExt2:
      PrepareText(p, term);
      break;
    case Field::kPriority:
      PreparePriority(p, term);
      break;
    case Field::kAck: {
      const AckWords& words = GetAckWords();
      std::string_view value = Trim(FieldText(term.value));
      p.ackOne = MbsIEqual(value, FieldText(words.acknowledged));
      p.ackZero = MbsIEqual(value, FieldText(words.unacknowledged));
      p.kind = Kind::kAck;
      break;
    }
    case Field::kDateIn:
    case Field::kDateLast: {
      if (!dates) break;
      std::string_view pattern = FieldText(dates->pattern);
      std::string_view separator = FieldText(dates->separator);
      auto at = [&](std::size_t i) { return i < pattern.size() ? pattern[i] : '\0'; };
      p.parts[0] = PartOf(at(0));
      std::size_t first = pattern.find(separator);
      if (first != std::string_view::npos) {
        p.parts[1] = PartOf(at(first + 1));
        std::size_t second = pattern.find(separator, first + 1);
        if (second != std::string_view::npos) p.parts[2] = PartOf(at(second + 1));
      }
      char value[sizeof term.value];
      SetFieldText(value, FieldText(term.value));
      int valueNums[3];
      ReadThree(value, valueNums);
      for (int i = 0; i < 3; ++i) {
        if (p.parts[i] >= 0) p.nums[p.parts[i]] = valueNums[i];
      }
      p.op = OpOf(FieldText(term.op));
      p.kind = Kind::kDate;
      break;
    }
    case Field::kTimeIn:
    case Field::kTimeLast: {
      char value[sizeof term.value];
      SetFieldText(value, FieldText(term.value));
      ReadThree(value, p.nums);
      p.op = OpOf(FieldText(term.op));
      p.kind = Kind::kTime;
      break;
    }
    case Field::kNode:
      PrepareNode(p, term);
      break;
    case Field::kArea:
      PrepareArea(p, term);
      break;
    default:
      break;  // flex values and unknown fields: the plain matcher
  }
  return p;
}

int MatchPrepared(const PreparedTerm& p, Field field, const tagAlarmStr& row,
                  const CaseTable& table) {
  switch (p.kind) {
    case Kind::kTag: {
      bool agree = Agree(p.value, FieldText(row.tagName), table);
      return p.op == Op::kEq ? agree : p.op == Op::kNe ? !agree : 0;
    }
    case Kind::kText: {
      std::string_view text = field == Field::kDescription ? FieldText(row.description)
                              : field == Field::kExt1      ? FieldText(row.ext1)
                                                           : FieldText(row.ext2);
      const PreparedPattern& v = p.value;
      switch (p.role) {
        case Role::kContains:
          return v.wild ? WildcardMatchFolded(text, v.text, v.starsFrom, table)
                        : FoldContains(text, v.text, table);
        case Role::kNotContains:
          return v.wild ? !WildcardMatchFolded(text, v.text, v.starsFrom, table)
                        : !FoldContains(text, v.text, table);
        case Role::kContainsOnly:
          return Agree(v, text, table);
        case Role::kNone:
          break;
      }
      return 0;
    }
    case Kind::kPriority: {
      std::string_view priority = Trim(FieldText(row.priority));
      if (p.op == Op::kEq) return FoldEqual(priority, p.value.text, table);
      if (p.op == Op::kNe) return !FoldEqual(priority, p.value.text, table);
      for (const std::string& name : p.names) {
        if (FoldEqual(priority, name, table)) return 1;
      }
      return 0;
    }
    case Kind::kAck: {
      char c = row.ack[0];
      return (p.ackOne && c == '1') || (p.ackZero && c == '0');
    }
    case Kind::kDate:
    case Kind::kTime: {
      const bool date = p.kind == Kind::kDate;
      std::string_view col = field == Field::kDateIn     ? FieldText(row.dateIn)
                             : field == Field::kDateLast ? FieldText(row.dateLast)
                             : field == Field::kTimeIn   ? FieldText(row.timeIn)
                                                         : FieldText(row.timeLast);
      char text[sizeof row.dateIn];
      SetFieldText(text, col);
      int nums[3];
      ReadThree(text, nums);
      if (!date) return CompareTriple(p.op, nums, p.nums);
      int ordered[3] = {0, 0, 0};
      for (int i = 0; i < 3; ++i) {
        if (p.parts[i] >= 0) ordered[p.parts[i]] = nums[i];
      }
      return CompareTriple(p.op, ordered, p.nums);
    }
    case Kind::kNode: {
      std::string_view node = FieldText(row.node);
      const bool aliasHit = node == p.names[1] || node == p.names[2];
      bool any = false;
      for (const PreparedPattern& it : p.items) {
        if (it.tooLong) continue;
        if (it.wild ? WildcardMatchFolded(node, it.text, it.starsFrom, table) : it.text == node) {
          any = true;
        } else if (aliasHit && it.text == p.names[0]) {
          any = true;
        }
        if (any) break;
      }
      return p.membership ? any : !any;
    }
    case Kind::kArea: {
      bool inAreas = false;
      ListSplitter rows(FieldText(row.areas), ',');
      for (std::string_view r; !inAreas && rows.Next(r);) {
        if (!p.allArea.empty() && SameWithoutCase(r, p.allArea)) {
          inAreas = true;
          break;
        }
        for (const PreparedPattern& v : p.items) {
          if (SameWithoutCase(r, v.text) || (v.wild && WildcardMatch(r, v.text) == 0)) {
            inAreas = true;
            break;
          }
        }
      }
      return p.membership ? inAreas : !inAreas;
    }
    case Kind::kPlain:
      break;
  }
  return 0;
}

}  // namespace tolvane::filter
