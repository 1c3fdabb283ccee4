// Message-box calls as the library makes them; they reach the notice hook.
#pragma once

#include "tolvane/notice.h"

namespace tolvane {

inline constexpr unsigned int MB_OK = 0x0;
inline constexpr unsigned int MB_ICONWARNING = 0x30;

using HWND = void*;

// The window that has the keyboard focus: there is none here.
HWND GetFocus();
int MessageBoxA(HWND owner, const char* text, const char* caption, unsigned int style);
int AfxMessageBox(const char* text, unsigned int style = MB_OK);

}  // namespace tolvane
