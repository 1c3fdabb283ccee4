#include "node/number_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "node/node_variables.h"
#include "tolvane/text_field.h"

namespace tolvane::node {
namespace {

std::string ToChars(double value, std::chars_format form, int precision) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, form, precision);
  if (ec != std::errc()) return std::string();
  return std::string(buf, end);
}

}  // namespace

std::string NumberFormat::Format(double value, int precision, std::size_t room, char separator) {
  std::string text;
  if (std::isnan(value)) {
    text = "NaN";
  } else if (std::isinf(value)) {
    text = value < 0 ? "-Inf" : "Inf";
  } else {
    precision = std::clamp(precision, 0, 15);
    text = ToChars(value, std::chars_format::fixed, precision);
    // Too long for the room: scientific, giving up decimals until it fits.
    for (int p = precision; text.size() > room && p >= 0; --p) {
      text = ToChars(value, std::chars_format::scientific, p);
    }
  }
  if (text.size() > room) text.resize(room);
  std::replace(text.begin(), text.end(), '.', separator);
  return text;
}

bool NumberFormat::LoadFile(const std::string& path) {
  std::optional<SettingsFile> file = ReadSettingsFile(path);
  if (!file) return false;
  auto section = file->find("NUMBER");
  if (section == file->end()) return true;
  auto decimal = section->second.find("DECIMAL");
  if (decimal != section->second.end() && decimal->second.size() == 1) {
    separator_.store(decimal->second[0]);
  }
  return true;
}

int NumberFormat::FormatReal(double value, int precision, char* out, std::size_t size) {
  if (!out || size == 0) return -1;
  if (short status = faults_.Check("lexmon_format_real"); status != 0) return status;
  SetFieldText(out, size, Format(value, precision, size - 1, DecimalSeparator()));
  return 0;
}

}  // namespace tolvane::node
