#!/usr/bin/env bash
# Plant-wide figures of the field drivers on this machine, loopback: a
# nats-server, a mosquitto broker, a node daemon fed by MQTT points, two
# stations (see bench/field_station_figures.cpp).
# Usage: bench/field_station_figures.sh [build-dir] [seconds] [latency POINTS]
set -euo pipefail
build=${1:-build}
seconds=${2:-10}
work=$(mktemp -d)
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
pids=()
stop_all() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; pids=(); }
trap 'stop_all; rm -rf "$work"' EXIT
points_file() {  # N: the sources file of N MQTT points on PLANT1
  {
    printf '[[mqtt]]\nname = "gw"\nurl = "mqtt://127.0.0.1:%s"\nqos = 0\n' "$mport"
    for ((i = 0; i < $1; i++)); do
      printf '[[mqtt.point]]\nnode = "PLANT1"\ntag = "P%d"\ntopic = "f/%d"\nhi = 80\nack_required = false\n' "$i" "$i"
    done
  } >"$work/s$1.toml"
}
run() {  # MODE POINTS
  nport=$(free_port)
  mport=$(free_port)
  rm -rf "$work/js" "$work/plant.db"*
  nats-server -js -a 127.0.0.1 -p "$nport" -sd "$work/js" >"$work/server.log" 2>&1 &
  pids+=($!)
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$mport" >"$work/mosquitto.conf"
  mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
  pids+=($!)
  until grep -qs "Server is ready" "$work/server.log"; do sleep 0.1; done
  "$build/tools/tolvane" demo --out "$work/plant.db" --nodes 1 --tags 1 --alarms 0 >/dev/null
  points_file "$2"
  "$build/tools/tolvane-node" --nats "nats://127.0.0.1:$nport" --node PLANT1 --store "$work/plant.db" \
    --sources "$work/s$2.toml" >"$work/daemon.log" 2>&1 &
  pids+=($!)
  until grep -qs "ready" "$work/daemon.log"; do sleep 0.1; done
  sleep 1
  "$build/bench/field_station_figures" "nats://127.0.0.1:$nport" "$mport" "$1" "$2" "$seconds"
  stop_all
}
if [ "${3:-}" = latency ]; then run latency "${4:-1000}"; exit; fi
run latency 1000
run flood 10000
