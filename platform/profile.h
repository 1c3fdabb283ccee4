// Profile strings ("win.ini") as the library reads them.
#pragma once

#include <cstdint>

namespace tolvane {

// Reads `key` of `section` in the profile file `file`; copies `def` when
// absent. Returns the number of characters copied, cut to size - 1.
uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* def,
                                  char* out, uint32_t size, const char* file);

}  // namespace tolvane
