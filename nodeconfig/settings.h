// Named settings of the node's project, and joining a directory, a file name
// and an extension into a path that fits a buffer.
#pragma once

namespace tolvane {
// Where a project setting is looked for, first to last.
inline constexpr const char* kProjectPathsKey = "Software\\Kestrow\\Prandel Velt\\ProjectPaths";
inline constexpr const char* kMachineSettingsKey = "Software\\Tarnwick";
}  // namespace tolvane

// Reads the setting `name` into `buffer` (`size` bytes): first the value of
// that name under the current user's project paths, then the default value
// of the subkey of that name under the machine-wide key of the classes root.
// Returns 0, or 100 when neither holds it (the buffer is then undefined).
short read_project_setting(const char* name, char* buffer, short size);

// Joins `dir` (may be null), `name` and `ext` (may be null) into `dest` of
// `size` bytes: a name with a "." keeps its own extension, a name that is a
// full path ("\..." or "X:...") drops the directory. Returns 0, or 1301 with
// `dest` empty when the parts would not fit. Text is read in the ANSI code
// page: the second byte of a double-byte character is never a separator.
short compose_path(char* dest, const char* dir, const char* name, const char* ext, short size);
