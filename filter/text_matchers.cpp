// Matchers of the text-like fields: areas, nodes, tag names, descriptions and
// extension texts, flex values. Working copies live on the stack: a row is
// matched without touching the heap.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "filter/matchers.h"
#include "filter/process_caches.h"
#include "platform/codepage.h"
#include "services/borvik.h"
#include "tolvane/text_field.h"

namespace tolvane::filter {
namespace {

// An upper-cased, terminated copy of a text, cut to N - 1 bytes (more than
// any row column or term value holds).
template <std::size_t N>
class UpperCopy {
 public:
  explicit UpperCopy(std::string_view text) {
    SetFieldText(buf_, text);
    MbsUpperInPlace(buf_);
    len_ = std::strlen(buf_);
  }
  std::string_view view() const { return {buf_, len_}; }

 private:
  char buf_[N];
  std::size_t len_;
};

constexpr std::size_t kTextCopy = 1024;

bool IsWhite(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsWhite(s.front())) s.remove_prefix(1);
  return s;
}

// Whether `needle` occurs in `hay`, starting on a character boundary.
bool Contains(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return true;
  for (std::size_t i = 0; i + needle.size() <= hay.size(); i += CharLength(hay.substr(i))) {
    if (hay.compare(i, needle.size(), needle) == 0) return true;
  }
  return false;
}

// Equal without case; texts of different lengths never are, in either code
// page, so those skip the character walk.
bool SameWithoutCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && MbsIEqual(a, b);
}

// A word that could not be loaded equals no operator.
bool IsWord(std::string_view op, const Word& word) {
  return !word.empty() && SameWithoutCase(op, word.text);
}

// The three containment roles shared by text and flex fields.
enum class Containment { kNone, kContains, kNotContains, kContainsOnly };

int MatchContainment(Containment role, std::string_view text, std::string_view value) {
  bool wild = HasWildcard(value);
  switch (role) {
    case Containment::kContains:
      return wild ? WildcardMatch(text, value) == 0 : Contains(text, value);
    case Containment::kNotContains:
      return wild ? WildcardMatch(text, value) != 0 : !Contains(text, value);
    case Containment::kContainsOnly:
      return wild ? WildcardMatch(text, value) == 0 : text == value;
    case Containment::kNone:
      break;
  }
  return 0;
}

}  // namespace

bool HasWildcard(std::string_view s) {
  return MbsFind(s, '*') != std::string_view::npos || MbsFind(s, '?') != std::string_view::npos;
}

void RewriteTextTerm(FilterTerm* term) {
  std::string_view unquoted = RemoveQuotes(FieldText(term->value));
  std::memmove(term->value, unquoted.data(), unquoted.size());
  term->value[unquoted.size()] = '\0';
  MbsUpperInPlace(term->value);
  MbsUpperInPlace(term->op);
}

std::string_view RemoveQuotes(std::string_view text) {
  for (std::size_t q; (q = MbsFind(text, '"')) != std::string_view::npos;) {
    if (q == 0) {
      text.remove_prefix(1);
    } else {
      text = text.substr(0, q);
    }
  }
  return text;
}

bool NextNodeItem(std::string_view& rest, std::string_view& item) {
  std::size_t comma = MbsFind(rest, ',');
  if (comma == std::string_view::npos) {
    rest = RemoveQuotes(TrimLeft(rest));
    return false;
  }
  item = RemoveQuotes(TrimLeft(rest.substr(0, comma)));
  rest = TrimLeft(rest.substr(comma + 1));
  return true;
}

bool ListSplitter::Next(std::string_view& token) {
  if (done_) return false;
  std::size_t from = 0;
  if (!rest_.empty() && rest_.front() == '"') {
    std::size_t close = MbsFind(rest_.substr(1), '"');
    from = close == std::string_view::npos ? std::string_view::npos : close + 2;
  }
  std::size_t sep = std::string_view::npos;
  if (from != std::string_view::npos && from <= rest_.size()) {
    std::size_t at = MbsFind(rest_.substr(from), separator_);
    if (at != std::string_view::npos) sep = from + at;
  }
  if (sep == std::string_view::npos) {
    token = rest_;
    done_ = true;
    return true;
  }
  token = rest_.substr(0, sep);
  rest_ = rest_.substr(sep + 1);
  return true;
}

int MatchArea(FilterTerm* term, std::string_view areas) {
  if (!term) return 0;
  Word allScratch;
  const Word& all = GetAllAreaText(allScratch);
  std::string_view value = FieldText(term->value);

  bool inAreas = false;
  ListSplitter rows(areas, ',');
  for (std::string_view r; !inAreas && rows.Next(r);) {
    // The ALL area is in every area the value names (a value has at least
    // one, possibly empty, token).
    if (!all.empty() && SameWithoutCase(r, all.text)) {
      inAreas = true;
      break;
    }
    ListSplitter values(value, ',');
    for (std::string_view v; values.Next(v);) {
      if (SameWithoutCase(r, v) || (HasWildcard(v) && WildcardMatch(r, v) == 0)) {
        inAreas = true;
        break;
      }
    }
  }
  Word memberScratch;
  bool membership = IsWord(FieldText(term->op), GetAreaMembershipWord(memberScratch));
  return membership ? inAreas : !inAreas;
}

int MatchNode(FilterTerm* term, std::string_view node) {
  if (!term) return 0;
  const LocalNodeNames& names = GetLocalNodeNames();
  char value[sizeof term->value];
  SetFieldText(value, FieldText(term->value));
  MbsUpperInPlace(term->op);
  UpperCopy<kTextCopy> upperNode(node);

  auto matches = [&](std::string_view raw) {
    // Items are node names: one longer than 8 characters names no node.
    if (raw.size() > 8) return false;
    char item[9];
    SetFieldText(item, raw);
    MbsUpperInPlace(item);
    std::string_view it(item);
    if (HasWildcard(it)) {
      if (WildcardMatch(upperNode.view(), it) == 0) return true;
    } else if (it == node) {
      return true;
    }
    return it == names.local && (node == names.alias1 || node == names.alias2);
  };

  bool any = false;
  std::string_view rest(value), item;
  while (NextNodeItem(rest, item)) any = matches(item) || any;
  any = matches(rest) || any;

  Word memberScratch;
  bool membership = IsWord(FieldText(term->op), GetNodeMembershipWord(memberScratch));
  return membership ? any : !any;
}

int MatchTagName(FilterTerm* term, std::string_view tag) {
  if (!term) return 0;
  UpperCopy<sizeof term->value> value(FieldText(term->value));
  UpperCopy<kTextCopy> upperTag(tag);
  bool agree = HasWildcard(value.view()) ? WildcardMatch(upperTag.view(), value.view()) == 0
                                         : upperTag.view() == value.view();
  std::string_view op = FieldText(term->op);
  if (op == "=") return agree;
  if (op == "<>") return !agree;
  return 0;
}

int MatchText(FilterTerm* term, std::string_view column) {
  if (!term) return 0;
  RewriteTextTerm(term);
  UpperCopy<kTextCopy> text(column);

  ContainmentWords scratch;
  const ContainmentWords& words = GetContainmentWords(scratch);
  std::string_view op = FieldText(term->op);
  Containment role = IsWord(op, words.contains)       ? Containment::kContains
                     : IsWord(op, words.notContains)  ? Containment::kNotContains
                     : IsWord(op, words.containsOnly) ? Containment::kContainsOnly
                                                      : Containment::kNone;
  return MatchContainment(role, text.view(), FieldText(term->value));
}

short GetFlexText(const void* block, int index, char* text, std::size_t size) {
  if (!text || size == 0) return -1;
  text[0] = '\0';
  char value[kFlexValueSize] = {};
  short type = 0, extra1 = 0, extra2 = 0;
  short status =
      borvik_get_flex_value(block, static_cast<short>(index), value, &type, &extra1, &extra2);
  if (status != 0) return status;
  switch (type) {
    case 2: {
      int16_t v;
      std::memcpy(&v, value, sizeof v);
      std::snprintf(text, size, "%d", v);
      break;
    }
    case 3: {
      int32_t v;
      std::memcpy(&v, value, sizeof v);
      std::snprintf(text, size, "%ld", static_cast<long>(v));
      break;
    }
    case 4: {
      float v;
      std::memcpy(&v, value, sizeof v);
      std::snprintf(text, size, "%f", static_cast<double>(v));
      break;
    }
    case 5: {
      double v;
      std::memcpy(&v, value, sizeof v);
      std::snprintf(text, size, "%lf", v);
      break;
    }
    case 8:
      SetFieldText(text, size, FieldText(value));
      break;
    default:
      break;  // no text form
  }
  return status;
}

short GetFlexText(const void* block, int index, std::string& text) {
  char buf[400];
  short status = GetFlexText(block, index, buf, sizeof buf);
  try {
    text.assign(buf);
  } catch (...) {
    text.clear();
  }
  return status;
}

int MatchFlex(int index, FilterTerm* term, const void* block) {
  if (!term || !block) return 0;
  unsigned char copy[kFieldBlockSize];
  std::memcpy(copy, block, sizeof copy);
  // The largest double printed with "%f" takes 316 characters.
  char raw[400];
  GetFlexText(copy, index, raw, sizeof raw);
  UpperCopy<sizeof raw> text(raw);
  UpperCopy<sizeof term->value> value(FieldText(term->value));
  std::string_view op = FieldText(term->op);

  Containment role = SameWithoutCase(op, "CONTAINING")       ? Containment::kContains
                     : SameWithoutCase(op, "NOTCONTAINING")  ? Containment::kNotContains
                     : SameWithoutCase(op, "CONTAININGONLY") ? Containment::kContainsOnly
                                                             : Containment::kNone;
  if (role != Containment::kNone) return MatchContainment(role, text.view(), value.view());
  // Byte order of the texts, also for numbers: "10" sorts before "9".
  int order = text.view().compare(value.view());
  if (op == "=") return order == 0;
  if (op == "<>") return order != 0;
  if (op == ">") return order > 0;
  if (op == "<") return order < 0;
  return 0;
}

}  // namespace tolvane::filter
