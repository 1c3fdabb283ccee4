#include "tools/rows.h"

#include <cstring>

#include "tolvane/oleauto.h"
#include "tolvane/records.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace tolvane::cli {

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

}  // namespace tolvane::cli
