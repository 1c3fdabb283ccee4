#include "platform/codepage.h"

#include <atomic>

namespace tolvane {
namespace {

std::atomic<unsigned int> g_codePage{1252};

unsigned char UpperSingle(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 0x20);
  if (g_codePage.load(std::memory_order_relaxed) != 1252) return c;
  // Windows-1252 letters outside ASCII.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 0x20);
  switch (c) {
    case 0x9A: return 0x8A;
    case 0x9C: return 0x8C;
    case 0x9E: return 0x8E;
    case 0xFF: return 0x9F;
    default: return c;
  }
}

}  // namespace

bool SetAnsiCodePage(unsigned int codePage) {
  if (codePage != 1252 && codePage != 932) return false;
  g_codePage.store(codePage, std::memory_order_relaxed);
  return true;
}

unsigned int GetAnsiCodePage() { return g_codePage.load(std::memory_order_relaxed); }

bool IsLeadByte(unsigned char c) {
  if (g_codePage.load(std::memory_order_relaxed) != 932) return false;
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

void MbsUpperInPlace(char* text) {
  if (!text) return;
  for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p;) {
    if (IsLeadByte(*p) && p[1]) {
      p += 2;
    } else {
      *p = UpperSingle(*p);
      ++p;
    }
  }
}

void MbsUpperInPlace(std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (IsLeadByte(c) && i + 1 < text.size()) {
      i += 2;
    } else {
      text[i] = static_cast<char>(UpperSingle(c));
      ++i;
    }
  }
}

std::string MbsUpper(std::string_view text) {
  std::string s(text);
  MbsUpperInPlace(s);
  return s;
}

int MbsICompare(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    auto ca = static_cast<unsigned char>(a[i]);
    auto cb = static_cast<unsigned char>(b[j]);
    bool la = IsLeadByte(ca) && i + 1 < a.size();
    bool lb = IsLeadByte(cb) && j + 1 < b.size();
    if (la || lb) {
      // Double-byte characters compare as units, by their bytes.
      unsigned int wa = la ? (ca << 8 | static_cast<unsigned char>(a[i + 1])) : UpperSingle(ca);
      unsigned int wb = lb ? (cb << 8 | static_cast<unsigned char>(b[j + 1])) : UpperSingle(cb);
      if (wa != wb) return wa < wb ? -1 : 1;
      i += la ? 2 : 1;
      j += lb ? 2 : 1;
      continue;
    }
    unsigned char ua = UpperSingle(ca), ub = UpperSingle(cb);
    if (ua != ub) return ua < ub ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

std::size_t MbsFind(std::string_view text, char c) {
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == c && CharLength(text.substr(i)) == 1) return i;
    i += CharLength(text.substr(i));
  }
  return std::string_view::npos;
}

std::size_t MbsFindLast(std::string_view text, char c) {
  std::size_t found = std::string_view::npos;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == c && CharLength(text.substr(i)) == 1) found = i;
    i += CharLength(text.substr(i));
  }
  return found;
}

}  // namespace tolvane
