// Wildcard matching: '*' any run of characters, '?' one character; a lead
// byte and its trail byte are one character.
//
// The matcher's defined results have one twist: where the pattern is at a '*'
// and the text character is a '*' too, the two are taken as equal characters
// and the pattern's '*' gets no further chance to absorb text. Texts without
// '*' therefore follow plain glob rules and take the greedy route with one
// backtrack point; texts holding '*' take a table walk over (text, pattern)
// positions. Both run in space linear in the input and never recurse.
#include <cstring>
#include <utility>
#include <vector>

#include "filter/matchers.h"
#include "platform/codepage.h"

namespace tolvane::filter {
namespace {

std::size_t CharLen(const char* s, std::size_t pos, std::size_t size) {
  return (pos + 1 < size && IsLeadByte(static_cast<unsigned char>(s[pos]))) ? 2 : 1;
}

bool SameChar(const char* a, std::size_t ai, std::size_t al, const char* b, std::size_t bi,
              std::size_t bl) {
  return al == bl && std::memcmp(a + ai, b + bi, al) == 0;
}

// Start of the trailing run of '*' in the pattern (pattern size when none).
std::size_t TrailingStarsStart(std::string_view p) {
  std::size_t start = p.size();
  while (start > 0 && p[start - 1] == '*') {
    // A '*' is never the trail byte of a double-byte character, so a plain
    // backwards scan is safe.
    --start;
  }
  return start;
}

struct NoFold {
  char operator()(char c) const { return c; }
  std::size_t Len(const char* s, std::size_t pos, std::size_t size) const {
    return CharLen(s, pos, size);
  }
};

// Text read as the matchers' upper-cased copy of it would read.
struct TableFold {
  const CaseTable& table;
  char operator()(char c) const {
    return static_cast<char>(table.upper[static_cast<unsigned char>(c)]);
  }
  std::size_t Len(const char* s, std::size_t pos, std::size_t size) const {
    return (pos + 1 < size && table.lead[static_cast<unsigned char>(s[pos])]) ? 2 : 1;
  }
};

template <class Fold>
bool SameCharFolded(const char* t, std::size_t ti, std::size_t tl, const char* p, std::size_t pi,
                    std::size_t pl, const Fold& fold) {
  if (tl != pl) return false;
  if (tl == 1) return fold(t[ti]) == p[pi];
  return std::memcmp(t + ti, p + pi, tl) == 0;
}

template <class Fold>
bool GreedyMatch(std::string_view t, std::string_view p, std::size_t starsFrom, const Fold& fold) {
  std::size_t ti = 0, pi = 0;
  std::size_t starP = std::string_view::npos, starT = 0;
  while (true) {
    if (pi < p.size() && pi >= starsFrom) return true;
    if (ti == t.size() && pi == p.size()) return true;
    bool step = false;
    if (ti < t.size() && pi < p.size()) {
      std::size_t tl = fold.Len(t.data(), ti, t.size());
      std::size_t pl = fold.Len(p.data(), pi, p.size());
      if (SameCharFolded(t.data(), ti, tl, p.data(), pi, pl, fold) || (pl == 1 && p[pi] == '?')) {
        ti += tl;
        pi += pl;
        step = true;
      } else if (pl == 1 && p[pi] == '*') {
        starP = pi;
        starT = ti;
        ++pi;
        step = true;
      }
    } else if (ti == t.size() && pi < p.size() && p[pi] == '*') {
      // Text used up at a star that is not the last run: the star may still
      // stand for nothing.
      starP = pi;
      starT = ti;
      ++pi;
      step = true;
    }
    if (step) continue;
    // Let the last star take one more character.
    if (starP == std::string_view::npos || starT >= t.size()) return false;
    starT += fold.Len(t.data(), starT, t.size());
    ti = starT;
    pi = starP + 1;
  }
}

// A buffer on the stack for the sizes rows and values have, on the heap
// beyond that.
template <class T, std::size_t N>
class ScratchArray {
 public:
  explicit ScratchArray(std::size_t size) : data_(local_) {
    if (size > N) {
      heap_.resize(size);
      data_ = heap_.data();
    }
  }
  T& operator[](std::size_t i) { return data_[i]; }
  T* data() { return data_; }

 private:
  T local_[N];
  std::vector<T> heap_;
  T* data_;
};

// Character start offsets of `s`, then its size; returns the character count.
std::size_t CharStarts(std::string_view s, std::size_t* out) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size(); i += CharLen(s.data(), i, s.size())) out[n++] = i;
  out[n] = s.size();
  return n;
}

// Table walk of the recursive definition, one text row at a time from the end:
// M(t, p) for text character t and pattern character p.
bool TableMatch(std::string_view t, std::string_view p, std::size_t starsFrom) {
  constexpr std::size_t kLocal = 640;
  ScratchArray<std::size_t, kLocal> ts(t.size() + 1), ps(p.size() + 1);
  const std::size_t n = CharStarts(t, ts.data()), m = CharStarts(p, ps.data());
  ScratchArray<char, kLocal> rowA(m + 1), rowB(m + 1);
  char* next = rowA.data();
  char* cur = rowB.data();
  for (std::size_t ti = n + 1; ti-- > 0;) {
    for (std::size_t pj = m + 1; pj-- > 0;) {
      std::size_t pOff = ps[pj];
      bool r;
      if (pj < m && pOff >= starsFrom) {
        r = true;
      } else if (ti == n || pj == m) {
        r = (ti == n && pj == m);
      } else {
        std::size_t tOff = ts[ti];
        std::size_t tl = ts[ti + 1] - tOff, pl = ps[pj + 1] - pOff;
        if (SameChar(t.data(), tOff, tl, p.data(), pOff, pl) || (pl == 1 && p[pOff] == '?')) {
          r = next[pj + 1];
        } else if (pl == 1 && p[pOff] == '*') {
          r = cur[pj + 1] || next[pj];
        } else {
          r = false;
        }
      }
      cur[pj] = r;
    }
    std::swap(next, cur);
  }
  return next[0];
}

}  // namespace

int WildcardMatch(std::string_view text, std::string_view pattern) {
  std::size_t starsFrom = TrailingStarsStart(pattern);
  bool matched;
  if (MbsFind(text, '*') == std::string_view::npos) {
    matched = GreedyMatch(text, pattern, starsFrom, NoFold{});
  } else {
    try {
      matched = TableMatch(text, pattern, starsFrom);
    } catch (...) {
      matched = false;
    }
  }
  return matched ? 0 : 1;
}

std::size_t WildcardStarsFrom(std::string_view pattern) {
  return TrailingStarsStart(pattern);
}

bool WildcardMatchFolded(std::string_view text, std::string_view pattern, std::size_t starsFrom,
                         const CaseTable& table) {
  if (std::memchr(text.data(), '*', text.size()) == nullptr) {
    return GreedyMatch(text, pattern, starsFrom, TableFold{table});
  }
  // Rare: the text holds '*'. Match the upper-cased copy the table walk needs.
  char copy[1024];
  std::size_t n = text.size() < sizeof copy - 1 ? text.size() : sizeof copy - 1;
  for (std::size_t i = 0; i < n;) {
    auto c = static_cast<unsigned char>(text[i]);
    if (table.lead[c] && i + 1 < n) {
      copy[i] = text[i];
      copy[i + 1] = text[i + 1];
      i += 2;
    } else {
      copy[i++] = static_cast<char>(table.upper[c]);
    }
  }
  return WildcardMatch(std::string_view(copy, n), pattern) == 0;
}

int WildcardMatch(const char* text, const char* pattern) {
  return WildcardMatch(std::string_view(text ? text : ""),
                       std::string_view(pattern ? pattern : ""));
}

}  // namespace tolvane::filter
