// The `tolvane` program: subcommands over the manager and an embedded node
// holding the built-in demo plant or a plant file.
#pragma once

namespace tolvane::cli {

// Exit codes (docs/cli.md).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;            // the library or a service reported a failure
inline constexpr int kExitUsage = 2;             // bad arguments or numbers
inline constexpr int kExitNodeFileMissing = 3;   // --node file missing or unreadable
inline constexpr int kExitNodeFileInvalid = 4;   // --node file does not parse or is refused
inline constexpr int kExitBadFilter = 5;         // the filter text does not parse
inline constexpr int kExitUnknownReference = 6;  // no alarm has that reference
inline constexpr int kExitSaveFailed = 7;        // the node file could not be written
inline constexpr int kExitNodeHeld = 8;          // a running daemon holds a node it would change

int RunCli(int argc, char** argv);

}  // namespace tolvane::cli
