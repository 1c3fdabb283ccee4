#include "node/summary_queue_order.h"

#include <cmath>

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
    if (int c = CompareNoCase(FieldText(a.areas[i]), FieldText(b.areas[i]))) return c;
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

}  // namespace

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
      c = CompareNoCase(FieldText(pa.tagName), FieldText(pb.tagName));
      if (c == 0) c = CompareNoCase(FieldText(pa.node), FieldText(pb.node));
      break;
    case 4:
      c = CompareNoCase(FieldText(pa.node), FieldText(pb.node));
      if (c == 0) c = CompareNoCase(FieldText(pa.tagName), FieldText(pb.tagName));
      break;
    case 5:
      c = CompareNoCase(FieldText(pa.physicalNode), FieldText(pb.physicalNode));
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
      c = CompareNoCase(FieldText(pa.description), FieldText(pb.description));
      break;
    case 11:
      c = CompareAreas(pa, pb);
      break;
    case 12:
      c = CompareNoCase(FieldText(pa.node), FieldText(pb.node));
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
