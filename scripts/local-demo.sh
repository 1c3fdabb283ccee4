#!/usr/bin/env bash
# The plant-wide deployment on one machine, one command: a nats-server with
# JetStream, two node daemons (PLANT1, PLANT2) raising and clearing alarms,
# and a watching station. Ctrl-C stops everything.
# Usage: scripts/local-demo.sh [build-dir] [events-per-second-per-node]
set -euo pipefail
build=${1:-build}
rate=${2:-2}
port=${TOLVANE_DEMO_PORT:-4222}
url=nats://127.0.0.1:$port
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

command -v nats-server >/dev/null || { echo "nats-server is missing: run scripts/deps.sh" >&2; exit 1; }
nats-server -js -a 127.0.0.1 -p "$port" -sd "$work/js" >"$work/server.log" 2>&1 &
pids+=($!)
until grep -qs "Server is ready" "$work/server.log"; do sleep 0.1; done

for n in PLANT1 PLANT2; do
  "$build/tools/tolvane-node" --nats "$url" --node "$n" --demo-nodes 2 --simulate "$rate" \
    >"$work/$n.log" 2>&1 &
  pids+=($!)
done
for n in PLANT1 PLANT2; do
  until grep -qs "ready $n" "$work/$n.log"; do sleep 0.1; done
done
echo "server $url, daemons PLANT1 and PLANT2 (logs in $work)" >&2
"$build/tools/tolvane" --nats "$url" --station DEMO watch
