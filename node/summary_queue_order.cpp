#include "node/summary_queue_order.h"

#include <bit>
#include <algorithm>
#include <cmath>
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

SortWords Prefix(std::string_view text, bool fold, std::size_t from = 0) {
  return {{Chunk(text, from, fold), Chunk(text, from + 8, fold), Chunk(text, from + 16, fold)}};
}

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

// How many depths of words tell texts of `key` apart (DeeperWordsOf).
int WordDepths(int key) {
  switch (key) {
    case 3:
      return 2;  // a tag has at most 30 bytes
    case 4:
      return 2;
    case 10:
      return 6;  // a description at most 132
    case 11:
      return 2;
    case 14:
      return 4;
    default:
      return 1;
  }
}

SortWords DeeperWordsOf(int key, const StoredAlarm& a, int depth) {
  const _ALMPAK& p = a.msg.almpak;
  auto from = static_cast<std::size_t>(depth) * 24;
  switch (key) {
    case 3:
      return Prefix(FieldText(p.tagName), true, from);
    case 4:
      return Prefix(FieldText(p.tagName), true, from - 8);
    case 10:
      return Prefix(FieldText(p.description), true, from);
    case 11:
      return p.areaCount == 0 ? SortWords{{0, 0, 0}} : Prefix(FieldText(p.areas[0]), true, from);
    case 14:
      return Prefix(Ext1(p), true, from);
    default:
      return {{0, 0, 0}};
  }
}

}  // namespace

SortWords WordsOf(int key, const StoredAlarm& a) {
  const _ALMPAK& p = a.msg.almpak;
  const uint64_t in = Ticks(a.timeIn);
  switch (key) {
    case 1:
      return {{Ticks(a.timeLast), in, a.id}};
    case 2:
      return {{static_cast<uint64_t>(SeverityRank(p.priority) + 1) << 32 | Biased(p.priority), in,
               a.id}};
    case 3:
      return Prefix(FieldText(p.tagName), true);
    case 4:
      return {{Chunk(FieldText(p.node), 0, true), Chunk(FieldText(p.tagName), 0, true),
               Chunk(FieldText(p.tagName), 8, true)}};
    case 5:
      return {{Chunk(FieldText(p.physicalNode), 0, true), in, a.id}};
    case 6:
      return {{Chunk(FieldText(p.node), 0, false), in, a.id}};
    case 7:
      return {{Biased(p.statusCode), in, a.id}};
    case 8:
      return {{a.msg.ackFlag != 0 ? 1u : 0u, in, a.id}};
    case 9:
      return {{Biased(p.msgType), in, a.id}};
    case 10:
      return Prefix(FieldText(p.description), true);
    case 11:
      return p.areaCount == 0 ? SortWords{{0, 0, 0}} : Prefix(FieldText(p.areas[0]), true);
    case 12:
      return {{Chunk(FieldText(p.node), 0, true),
               uint64_t{Biased(p.vsp.blockType)} << 16 | Biased(p.vsp.blockNumber), in}};
    case 13: {
      ValueKey v = KeyOfValue(p.value);
      auto rank = static_cast<uint64_t>(v.rank);
      if (v.rank == 0) return {{rank, OrderedDouble(v.number), in}};
      if (v.rank == 2) return {{rank, Chunk(v.text, 0, false), Chunk(v.text, 8, false)}};
      return {{rank, in, a.id}};
    }
    case 14:
      return Prefix(Ext1(p), true);
    default:
      return {{in, a.id, 0}};
  }
}

namespace {

bool WordsLess(const ViewEntry& x, const ViewEntry& y) {
  return x.words.w < y.words.w;
}

// Sorts [first, last) whose words at depths below `depth` are all equal, by
// the words at `depth`, then each run that ties by the next depth; runs no
// words tell apart are sorted by Before. Leaves every entry's words at
// depth 0 as they came in.
void SortDeeper(int key, ViewEntry* first, ViewEntry* last, int depth) {
  std::sort(first, last, WordsLess);
  for (ViewEntry* run = first; run != last;) {
    ViewEntry* end = run + 1;
    while (end != last && end->words.w == run->words.w) ++end;
    if (end - run > 1) {
      const SortWords tied = run->words;
      // A text that ended in this chunk has nothing deeper.
      bool more = depth + 1 < WordDepths(key) && (tied.w[2] & 0xff) != 0;
      if (more) {
        for (ViewEntry* e = run; e != end; ++e) e->words = DeeperWordsOf(key, *e->alarm, depth + 1);
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
  if (entries.empty()) return;
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
