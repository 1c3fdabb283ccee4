#include "node/summary_queue_order.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <initializer_list>
#include <tuple>
#include <type_traits>

#include "tolvane/text_field.h"

namespace tolvane::node::detail {
namespace {

// By value: many operands are fields of packed records.
template <class T>
int Cmp(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

char FoldByte(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Two text fields of the same width, without case, as CompareNoCase compares
// their texts, in one pass that stops at the first difference or the end.
template <std::size_t N>
int CompareFields(const char (&a)[N], const char (&b)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    auto ca = static_cast<unsigned char>(FoldByte(a[i]));
    auto cb = static_cast<unsigned char>(FoldByte(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

int CompareBytes(std::string_view a, std::string_view b) {
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Area lists compare area by area; a list that is a prefix of another
// comes first.
int CompareAreas(const _ALMPAK& a, const _ALMPAK& b) {
  uint32_t na = a.areaCount < 15 ? a.areaCount : 15;
  uint32_t nb = b.areaCount < 15 ? b.areaCount : 15;
  for (uint32_t i = 0; i < na && i < nb; ++i) {
    if (int c = CompareFields(a.areas[i], b.areas[i])) return c;
  }
  return Cmp(na, nb);
}

// Numbers first (by value), then values that are not a number, then text
// values (by text), then kinds without a value.
struct ValueKey {
  int rank;
  double number;
  std::string_view text;
};

ValueKey KeyOfValue(const _AlmCanonicalValue& v) {
  if (v.textFlag != 0) return {2, 0.0, FieldText(v.text)};
  double x;
  switch (v.kind) {
    case 1:
    case 4:
      x = v.value.i16;
      break;
    case 2:
      x = v.value.i8;
      break;
    case 3:
      x = v.value.u8;
      break;
    case 5:
      x = v.value.u16;
      break;
    case 6:
      x = v.value.i32;
      break;
    case 7:
      x = v.value.u32;
      break;
    case 8:
    case 9:
      x = v.value.f32;
      break;
    default:
      return {3, 0.0, {}};
  }
  if (std::isnan(x)) return {1, 0.0, {}};
  return {0, x, {}};
}

int CompareValues(const _AlmCanonicalValue& a, const _AlmCanonicalValue& b) {
  ValueKey ka = KeyOfValue(a), kb = KeyOfValue(b);
  if (int c = Cmp(ka.rank, kb.rank)) return c;
  if (ka.rank == 0) return Cmp(ka.number, kb.number);
  if (ka.rank == 2) return CompareBytes(ka.text, kb.text);
  return 0;
}

std::string_view Ext1(const _ALMPAK& p) {
  return p.ext.extKind == 0 ? FieldText(p.ext.ext1) : std::string_view();
}
std::string_view Ext2(const _ALMPAK& p) {
  return p.ext.extKind == 0 ? FieldText(p.ext.ext2) : std::string_view();
}

// Eight bytes of `text` from `from` on, folded or not, big-endian and
// zero-padded: numbers that order like the bytes, a shorter text first.
uint64_t Chunk(std::string_view text, std::size_t from, bool fold) {
  uint64_t w = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    std::size_t at = from + i;
    auto c = static_cast<unsigned char>(at < text.size() ? text[at] : '\0');
    if (fold) c = static_cast<unsigned char>(FoldByte(static_cast<char>(c)));
    w = w << 8 | c;
  }
  return w;
}

// Where an alarm's words come from for a key that orders by a text: `head`
// words, then the text eight bytes a word until it ends, then `tail` words
// (what orders equal texts). Without a text the words are head and tail.
struct WordSource {
  std::array<uint64_t, 2> head{};
  std::size_t heads = 0;
  bool hasText = false;
  std::string_view text;
  bool fold = true;
  std::array<uint64_t, 3> tail{};
  std::size_t tails = 0;
};

constexpr std::size_t kWords = std::tuple_size_v<decltype(SortWords::w)>;

uint64_t Ticks(Clock::time_point t) {
  return static_cast<uint64_t>(t.time_since_epoch().count()) ^ (uint64_t{1} << 63);
}

// An integer as an unsigned number of the same order.
template <class T>
uint64_t Biased(T v) {
  using U = std::make_unsigned_t<T>;
  auto u = static_cast<U>(v);
  if constexpr (std::is_signed_v<T>) u = static_cast<U>(u ^ (U{1} << (sizeof(T) * 8 - 1)));
  return u;
}

// Orders like the double (after -0.0 is made 0.0); NaN never comes here.
uint64_t OrderedDouble(double x) {
  if (x == 0) x = 0.0;
  auto bits = std::bit_cast<uint64_t>(x);
  return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

}  // namespace

bool PackName(std::string_view name, bool fold, uint64_t* out) {
  if (name.size() > 8) return false;
  *out = Chunk(name, 0, fold);
  return true;
}

namespace {

WordSource SourceOf(int key, const StoredAlarm& a) {
  const _ALMPAK& p = a.msg.almpak;
  const uint64_t in = Ticks(a.timeIn);
  WordSource s;
  auto head = [&](std::initializer_list<uint64_t> words) {
    for (uint64_t w : words) s.head[s.heads++] = w;
  };
  auto text = [&](std::string_view t, bool fold) {
    s.hasText = true;
    s.text = t;
    s.fold = fold;
  };
  auto tail = [&](std::initializer_list<uint64_t> words) {
    for (uint64_t w : words) s.tail[s.tails++] = w;
  };
  switch (key) {
    case 1:
      tail({Ticks(a.timeLast), in, a.id});
      break;
    case 2:
      tail({static_cast<uint64_t>(SeverityRank(p.priority) + 1) << 32 | Biased(p.priority), in,
            a.id});
      break;
    case 3:
      text(FieldText(p.tagName), true);
      tail({Chunk(FieldText(p.node), 0, true), in, a.id});
      break;
    case 4:
      head({Chunk(FieldText(p.node), 0, true)});
      text(FieldText(p.tagName), true);
      tail({in, a.id});
      break;
    case 5:
      tail({Chunk(FieldText(p.physicalNode), 0, true), in, a.id});
      break;
    case 6:
      tail({Chunk(FieldText(p.node), 0, false), in, a.id});
      break;
    case 7:
      tail({Biased(p.statusCode), in, a.id});
      break;
    case 8:
      tail({a.msg.ackFlag != 0 ? 1u : 0u, in, a.id});
      break;
    case 9:
      tail({Biased(p.msgType), in, a.id});
      break;
    case 10:
      text(FieldText(p.description), true);
      tail({in, a.id});
      break;
    case 11:
      // Equal first areas leave the rest of the lists to Before.
      if (p.areaCount != 0) text(FieldText(p.areas[0]), true);
      break;
    case 12:
      tail({Chunk(FieldText(p.node), 0, true),
            uint64_t{Biased(p.vsp.blockType)} << 16 | Biased(p.vsp.blockNumber), in});
      break;
    case 13: {
      ValueKey v = KeyOfValue(p.value);
      head({static_cast<uint64_t>(v.rank)});
      if (v.rank == 0) {
        tail({OrderedDouble(v.number), in, a.id});
      } else if (v.rank == 2) {
        text(v.text, false);
        tail({in, a.id});
      } else {
        tail({in, a.id});
      }
      break;
    }
    case 14:
      text(Ext1(p), true);  // equal texts leave the second one to Before
      break;
    default:
      tail({in, a.id});
      break;
  }
  return s;
}

// The text bytes the words of `depth` start at (depths past 0 are all text).
std::size_t TextFrom(const WordSource& s, int depth) {
  return depth == 0 ? 0
                    : (kWords - s.heads) * 8 + (static_cast<std::size_t>(depth) - 1) * kWords * 8;
}

SortWords Fill(const WordSource& s, int depth) {
  SortWords out{};
  std::size_t at = 0;
  if (depth == 0) {
    for (std::size_t i = 0; i < s.heads; ++i) out.w[at++] = s.head[i];
  }
  if (s.hasText) {
    for (std::size_t from = TextFrom(s, depth); at < kWords; from += 8) {
      uint64_t c = Chunk(s.text, from, s.fold);
      out.w[at++] = c;
      if ((c & 0xff) == 0) break;  // the text ended in this word
    }
  }
  for (std::size_t i = 0; i < s.tails && at < kWords; ++i) out.w[at++] = s.tail[i];
  return out;
}

// Whether the text runs on past the words of `depth`.
bool TextGoesOn(const WordSource& s, int depth) {
  return s.hasText && s.text.size() >= TextFrom(s, depth + 1);
}

}  // namespace

SortWords WordsOf(int key, const StoredAlarm& a) {
  return Fill(SourceOf(key, a), 0);
}

namespace {

bool WordsLess(const ViewEntry& x, const ViewEntry& y) {
  return x.words.w < y.words.w;
}

// Sorts [first, last), whose words of the depths before `depth` are all
// equal, by the words of `depth`; a run that ties there goes on to the next
// depth while the texts go on, and is otherwise left to Before. Every entry
// ends with the words it came in with.
void SortDeeper(int key, ViewEntry* first, ViewEntry* last, int depth) {
  std::sort(first, last, WordsLess);
  for (ViewEntry* run = first; run != last;) {
    ViewEntry* end = run + 1;
    while (end != last && end->words.w == run->words.w) ++end;
    if (end - run > 1) {
      // Tied words hold the same bytes of every text, so one alarm tells
      // whether all the texts go on.
      if (TextGoesOn(SourceOf(key, *run->alarm), depth)) {
        const SortWords tied = run->words;
        for (ViewEntry* e = run; e != end; ++e)
          e->words = Fill(SourceOf(key, *e->alarm), depth + 1);
        SortDeeper(key, run, end, depth + 1);
        for (ViewEntry* e = run; e != end; ++e) e->words = tied;
      } else {
        std::sort(run, end, ViewEntryLess{key});
      }
    }
    run = end;
  }
}

}  // namespace

void SortEntries(int key, std::vector<ViewEntry>& entries) {
  SortDeeper(key, entries.data(), entries.data() + entries.size(), 0);
}

int SeverityRank(int16_t priority) {
  switch (priority) {
    case 9:
      return 0;  // INFO
    case 8:
      return 1;  // LOLO
    case 7:
      return 2;  // LOW
    case 6:
      return 3;  // MEDIUM
    case 5:
      return 4;  // HIGH
    case 4:
      return 5;  // HIHI
    case 3:
      return 6;  // CRITICAL
    default:
      return -1;
  }
}

int CompareNoCase(std::string_view a, std::string_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(FoldByte(a[i]));
    auto cb = static_cast<unsigned char>(FoldByte(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return Cmp(a.size(), b.size());
}

std::string FoldCase(std::string_view text) {
  std::string s(text);
  for (char& c : s) c = FoldByte(c);
  return s;
}

int CompareByKey(int key, const StoredAlarm& a, const StoredAlarm& b) {
  const _ALMPAK& pa = a.msg.almpak;
  const _ALMPAK& pb = b.msg.almpak;
  int c = 0;
  switch (key) {
    case 1:
      c = Cmp(a.timeLast, b.timeLast);
      break;
    case 2:
      c = Cmp(SeverityRank(pa.priority), SeverityRank(pb.priority));
      if (c == 0) c = Cmp(pa.priority, pb.priority);
      break;
    case 3:
      c = CompareFields(pa.tagName, pb.tagName);
      if (c == 0) c = CompareFields(pa.node, pb.node);
      break;
    case 4:
      c = CompareFields(pa.node, pb.node);
      if (c == 0) c = CompareFields(pa.tagName, pb.tagName);
      break;
    case 5:
      c = CompareFields(pa.physicalNode, pb.physicalNode);
      break;
    case 6:
      // Byte for byte: the acknowledge-all batches a node's rows by exact name.
      c = CompareBytes(FieldText(pa.node), FieldText(pb.node));
      break;
    case 7:
      c = Cmp(pa.statusCode, pb.statusCode);
      break;
    case 8:
      c = Cmp(a.msg.ackFlag != 0, b.msg.ackFlag != 0);
      break;
    case 9:
      c = Cmp(pa.msgType, pb.msgType);
      break;
    case 10:
      c = CompareFields(pa.description, pb.description);
      break;
    case 11:
      c = CompareAreas(pa, pb);
      break;
    case 12:
      c = CompareFields(pa.node, pb.node);
      if (c == 0) c = Cmp(pa.vsp.blockType, pb.vsp.blockType);
      if (c == 0) c = Cmp(pa.vsp.blockNumber, pb.vsp.blockNumber);
      break;
    case 13:
      c = CompareValues(pa.value, pb.value);
      break;
    case 14:
      c = CompareNoCase(Ext1(pa), Ext1(pb));
      if (c == 0) c = CompareNoCase(Ext2(pa), Ext2(pb));
      break;
    default:
      break;
  }
  return c != 0 ? c : Cmp(a.timeIn, b.timeIn);
}

}  // namespace tolvane::node::detail
