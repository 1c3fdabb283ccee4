#!/usr/bin/env bash
# Figures of the plant-wide deployment on this machine, loopback: a
# nats-server, two node daemons, two stations (see bench/nats_figures.cpp).
# Usage: bench/nats_figures.sh [build-dir] [alarms-for-cold-start]
set -euo pipefail
build=${1:-build}
big=${2:-100000}
work=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
url=nats://127.0.0.1:$port
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
nats-server -js -a 127.0.0.1 -p "$port" -sd "$work/js" >"$work/server.log" 2>&1 &
pids+=($!)
until grep -qs "Server is ready" "$work/server.log"; do sleep 0.1; done
# About 10,000 alarms over the two nodes.
for n in PLANT1 PLANT2; do
  "$build/tools/tolvane-node" --nats "$url" --node "$n" --demo-nodes 2 --demo-tags 30000 \
    >"$work/$n.log" 2>&1 &
  pids+=($!)
done
for n in PLANT1 PLANT2; do
  until grep -q "ready" "$work/$n.log"; do sleep 0.2; done
  cat "$work/$n.log"
done
"$build/bench/nats_figures" "$url" "$big"
