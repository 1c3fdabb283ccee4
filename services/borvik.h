// The alarm library as Tolvane calls it: sending operator messages and
// reading one field of an alarm's 170-byte field block. With no backend
// installed every call fails with tolvane::kServiceDown and returns no data.
#pragma once

#include "tolvane/export.h"

// Sends operator message `text` for `nodeName` (null: no node). `flag` is
// passed through. Returns the library's status, 0 on success.
short borvik_send_opmsg(const char* text, const char* nodeName, int flag);

// Reads field `index` (0..7) of `block` (170 bytes). `valueBuffer` (160
// bytes) receives the value: a little-endian number for type codes 2 (int16),
// 3 (int32), 4 (float), 5 (double), NUL-terminated text for 8. On failure the
// buffer is zeroed and *type is 0. Returns 0 on success.
short borvik_get_flex_value(const void* block, short index, char* valueBuffer, short* type,
                            short* extra1, short* extra2);

namespace tolvane {

inline constexpr int kFlexValueSize = 160;
inline constexpr int kFieldBlockSize = 170;

class AlarmLibraryBackend {
 public:
  virtual ~AlarmLibraryBackend() = default;
  // `text` is never null; `nodeName` may be.
  virtual short SendOperatorMessage(const char* text, const char* nodeName, int flag) = 0;
  // `block` and `valueBuffer` are never null; valueBuffer arrives zeroed and
  // the outputs at 0.
  virtual short GetFlexValue(const void* block, short index, char* valueBuffer, short* type,
                             short* extra1, short* extra2) = 0;
};

// REQUIRES: the backend outlives every call made while it is installed.
// Pass null to uninstall.
TOLVANE_API void InstallAlarmLibraryBackend(AlarmLibraryBackend* backend);
// The one installed now (null: none), for an owner to uninstall only its own.
TOLVANE_API AlarmLibraryBackend* InstalledAlarmLibraryBackend();

}  // namespace tolvane
