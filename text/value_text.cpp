#include "text/value_text.h"

#include <charconv>

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
  // Integers are written with to_chars: same digits as printf's %d/%u, at
  // a fraction of the cost on every row of a page.
  auto decimal = [&work](auto v) { *std::to_chars(work, work + sizeof work - 1, v).ptr = '\0'; };
  switch (value->kind) {
    case 1:
    case 4:
      decimal(static_cast<int>(value->value.i16));
      break;
    case 2:
      decimal(static_cast<int>(value->value.i8));
      break;
    case 3:
      decimal(static_cast<unsigned>(value->value.u8));
      break;
    case 5:
      decimal(static_cast<unsigned>(value->value.u16));
      break;
    case 6:
      decimal(static_cast<long>(value->value.i32));
      break;
    case 7:
      decimal(static_cast<unsigned long>(value->value.u32));
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
