// The node's number format (the national-language text library's backend):
// floating-point values with a fixed number of decimals and the node's
// decimal separator, in scientific form when the fixed form would not fit.
// docs/settings.md describes the form and the [number] settings. Thread-safe.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "node/fault_injection.h"
#include "services/lexmon.h"

namespace tolvane::node {

class NumberFormat : public NumberFormatBackend {
 public:
  explicit NumberFormat(char decimalSeparator = '.') : separator_(decimalSeparator) {}

  void SetDecimalSeparator(char c) { separator_.store(c); }
  char DecimalSeparator() const { return separator_.load(); }

  // Takes "decimal" of the [number] section of a settings file, when set;
  // false when the file cannot be read.
  bool LoadFile(const std::string& path);

  // `value` with `precision` decimals in at most `room` characters:
  // "12.500"; "-1.235e+38" when the fixed form is longer than `room` (fewer
  // mantissa decimals when even that is too long); "NaN", "Inf", "-Inf".
  static std::string Format(double value, int precision, std::size_t room, char separator);

  // Call "lexmon_format_real" can be made to fail.
  FaultInjector& faults() { return faults_; }

  // --- NumberFormatBackend ---
  int FormatReal(double value, int precision, char* out, std::size_t size) override;

 private:
  std::atomic<char> separator_;
  FaultInjector faults_;
};

}  // namespace tolvane::node
