#!/usr/bin/env bash
# Builds the tolvane program and shows the alarm summary of the built-in demo
# plant. Extra arguments go to the program: scripts/run.sh list --sort -5
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
dir=build
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ $# -eq 0 ]; then set -- list; fi
if grep -q 'add_executable(tolvane ' tools/CMakeLists.txt 2>/dev/null; then
  cmake --build "$dir" --target tolvane >/dev/null
  exec "$dir/tools/tolvane" "$@"
fi
cmake --build "$dir" --target tolvane_example >/dev/null
exec "$dir/examples/tolvane_example"
