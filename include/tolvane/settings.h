// Where the library finds its settings files (the registry file, "win.ini"),
// and how the Windows-style paths found in settings become paths here.
#pragma once

#include <string>
#include <string_view>

#include "tolvane/export.h"

namespace tolvane {

// Points the library at a settings directory. Null or empty restores the
// default: $TOLVANE_SETTINGS_DIR, else $XDG_CONFIG_HOME/tolvane, else
// $HOME/.config/tolvane. Takes effect for every later read; thread-safe.
TOLVANE_API void SetSettingsDirectory(const char* path);

// The settings directory in use now (never ends in '/', may be empty when
// no default can be formed).
TOLVANE_API std::string SettingsDirectory();

// Turns every backslash separator of a Windows-style path into '/'. The
// second byte of a double-byte character is never taken for a separator.
// Drive letters are kept as they are.
TOLVANE_API std::string NativePath(std::string_view path);

}  // namespace tolvane
