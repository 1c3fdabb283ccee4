// Selecting the process's ANSI code page. All text is 8-bit text in it.
#pragma once

#include "tolvane/export.h"

namespace tolvane {

// 1252 (single-byte Western, the default) or 932 (double-byte, Shift-JIS
// lead bytes). Returns false and changes nothing for any other page.
TOLVANE_API bool SetAnsiCodePage(unsigned int codePage);
TOLVANE_API unsigned int GetAnsiCodePage();

}  // namespace tolvane
