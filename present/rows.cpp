#include "present/rows.h"

#include <cstring>

#include "tolvane/oleauto.h"
#include "tolvane/records.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace tolvane::present {

Row DecodeRow(const unsigned char* bytes) {
  tagAlarmStr r;
  std::memcpy(&r, bytes, sizeof r);
  auto text = [](const auto& field) { return std::string(FieldText(field)); };
  Row row;
  row.acknowledged = r.ack[0] == '1';
  row.reference = text(r.reference);
  row.areas = text(r.areas);
  row.dateIn = text(r.dateIn);
  row.dateLast = text(r.dateLast);
  row.timeIn = text(r.timeIn);
  row.timeLast = text(r.timeLast);
  row.node = text(r.node);
  row.tag = text(r.tagName);
  row.priority = text(r.priority);
  row.status = text(r.status);
  row.description = text(r.description);
  row.value = text(r.value);
  row.ext1 = text(r.ext1);
  row.ext2 = text(r.ext2);
  row.letter = r.vsp.blockType;
  row.number = r.vsp.blockNumber;
  row.statusCode = r.statusCode;
  return row;
}

std::vector<Row> DecodeRows(const tagAlarmStr* rows, std::size_t n) {
  std::vector<Row> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(DecodeRow(reinterpret_cast<const unsigned char*>(rows + i)));
  }
  return out;
}

short FetchRows(CVeltAlmSummMgr& mgr, short handle, long count, const std::string& filter,
                long sortCode, std::vector<Row>* rows) {
  rows->clear();
  VARIANT v;
  VariantInit(&v);
  std::string text = filter;  // the manager takes a writable text
  short n = 0;
  short rc = mgr.FetchAlarmsByRef(&v, count, text.data(), sortCode, handle, &n);
  if (rc == kOk && v.vt == VT_UI1 && v.parray != nullptr && n > 0) {
    void* data = nullptr;
    if (SafeArrayAccessData(v.parray, &data) == S_OK) {
      std::size_t available = v.parray->rgsabound[0].cElements / sizeof(tagAlarmStr);
      std::size_t want = static_cast<std::size_t>(n);
      if (want > available) want = available;  // never read past the array
      rows->reserve(want);
      const auto* bytes = static_cast<const unsigned char*>(data);
      for (std::size_t i = 0; i < want; ++i)
        rows->push_back(DecodeRow(bytes + i * sizeof(tagAlarmStr)));
      SafeArrayUnaccessData(v.parray);
    }
  }
  VariantClear(&v);
  return rc;
}

std::string TrimRight(const std::string& text) {
  std::size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::size_t Utf8Sequence(std::string_view text, std::size_t pos, char32_t* cp) {
  if (pos >= text.size()) return 0;
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  std::size_t len = 0;
  char32_t c = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - pos < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *cp = c;
  return len;
}

}  // namespace tolvane::present
