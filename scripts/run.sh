#!/usr/bin/env bash
# Builds the tolvane program and shows the alarm summary of the built-in demo
# plant. Extra arguments go to the program: scripts/run.sh list --sort -3
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
dir=build
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target tolvane_cli >/dev/null
if [ $# -eq 0 ]; then set -- list; fi
exec "$dir/tools/tolvane" "$@"
