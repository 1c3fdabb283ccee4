#!/usr/bin/env bash
# Figures of the field drivers on this machine, loopback: a mosquitto broker
# and a pymodbus server (scripts/modbus-server.py), see bench/field_figures.cpp.
# Usage: bench/field_figures.sh [build-dir] [seconds]
set -euo pipefail
build=${1:-build}
seconds=${2:-10}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)
mkfifo "$work/modbus.in"
/usr/bin/python3 "$here/scripts/modbus-server.py" --size 10000 <"$work/modbus.in" >"$work/modbus.out" 2>/dev/null &
pids+=($!)
exec 3>"$work/modbus.in"
until grep -qs '^port ' "$work/modbus.out"; do sleep 0.1; done
mport=$(sed -n 's/^port //p' "$work/modbus.out")
flood="set holding 0$(printf ' 200%.0s' $(seq 10000))"
"$build/bench/field_figures" "$port" "$mport" "$seconds" | while IFS= read -r line; do
  echo "$line"
  case "$line" in flood:\ set*) echo "$flood" >&3 ;; esac
done
exec 3>&-
