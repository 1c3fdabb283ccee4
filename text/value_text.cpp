#include "text/value_text.h"

#include <cstdio>

#include "services/lexmon.h"
#include "text/dictionary.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace tolvane {

unsigned int ConvertValueToText(const _AlmCanonicalValue* value, char* text, unsigned int size) {
  if (!value) {
    CopyText(text, text ? size : 0, kUnknownText);
    return static_cast<unsigned int>(kNoTextForm);
  }
  if (value->textFlag != 0) {
    if (text) SetFieldText(text, size, FieldText(value->text));
    return kOk;
  }

  unsigned int result = kOk;
  char work[16] = "";
  switch (value->kind) {
    case 1:
    case 4:
      std::snprintf(work, sizeof work, "%d", static_cast<int>(value->value.i16));
      break;
    case 2:
      std::snprintf(work, sizeof work, "%d", static_cast<int>(value->value.i8));
      break;
    case 3:
      std::snprintf(work, sizeof work, "%u", static_cast<unsigned>(value->value.u8));
      break;
    case 5:
      std::snprintf(work, sizeof work, "%u", static_cast<unsigned>(value->value.u16));
      break;
    case 6:
      std::snprintf(work, sizeof work, "%ld", static_cast<long>(value->value.i32));
      break;
    case 7:
      std::snprintf(work, sizeof work, "%lu", static_cast<unsigned long>(value->value.u32));
      break;
    case 8:
    case 9:
      lexmon_format_real(static_cast<double>(value->value.f32), kRealPrecision, kRealRoom, work);
      break;
    default:
      CopyText(work, sizeof work, kUnknownText);
      result = static_cast<unsigned int>(kNoTextForm);
      break;
  }
  if (text) CopyText(text, size, work);
  return result;
}

}  // namespace tolvane
