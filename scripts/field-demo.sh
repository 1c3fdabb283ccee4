#!/usr/bin/env bash
# Field values raising and clearing alarms, on one machine: a mosquitto
# broker and a Modbus TCP server (pymodbus) on loopback, a sources file for
# them, a changing signal, and the alarm summary in `watch` (or in the
# browser with `serve`). Ctrl-C stops everything.
# Usage: scripts/field-demo.sh [build-dir] [watch|serve]
set -euo pipefail
build=${1:-build}
show=${2:-watch}
here=$(cd "$(dirname "$0")/.." && pwd)
T="$build/tools/tolvane"
for c in mosquitto mosquitto_pub; do
  command -v "$c" >/dev/null || { echo "$c is missing: run scripts/deps.sh" >&2; exit 1; }
done
/usr/bin/python3 -c 'import pymodbus' 2>/dev/null ||
  { echo "python3-pymodbus is missing: run scripts/deps.sh" >&2; exit 1; }
[ -x "$T" ] || { echo "$T is missing: build first (scripts/run.sh builds it)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  exec 3>&- 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# The broker and the PLC, on loopback only.
mport=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$mport" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)
mkfifo "$work/plc.in"
/usr/bin/python3 "$here/scripts/modbus-server.py" <"$work/plc.in" >"$work/plc.out" 2>"$work/plc.log" &
pids+=($!)
exec 3>"$work/plc.in"
until grep -qs '^port ' "$work/plc.out"; do sleep 0.1; done
pport=$(sed -n 's/^port //p' "$work/plc.out")

cat >"$work/plant1.toml" <<TOML
[[mqtt]]
name = "gw1"
url = "mqtt://127.0.0.1:$mport"
[[mqtt.point]]
node = "PLANT1"
tag = "FIC101"
description = "FEED FLOW"
areas = ["FEED"]
topic = "plant1/FIC101/pv"
value = "/pv"
hihi = 95.0
hi = 80.0
lo = 20.0
lolo = 5.0
deadband = 1.0
on_delay = "2s"
off_delay = "3s"
priority = { hihi = "CRITICAL", hi = "HIGH", lo = "HIGH", lolo = "CRITICAL" }
stale_after = "10s"
[[mqtt.point]]
node = "PLANT1"
tag = "LI102"
description = "FEED TANK LEVEL"
areas = ["FEED"]
topic = "plant1/LI102"
hi = 90.0
lo = 10.0
rate = 8.0
priority = "MEDIUM"
stale_after = "10s"
[[modbus]]
name = "plc1"
host = "127.0.0.1"
port = $pport
unit = 1
poll = "500ms"
timeout = "1s"
[[modbus.point]]
node = "PLANT1"
tag = "TI201"
description = "REACTOR TEMPERATURE"
areas = ["REACTOR"]
register = "input:30"
type = "float32"
word_order = "big"
hi = 150.0
hihi = 180.0
deadband = 2.0
priority = { hi = "HIGH", hihi = "CRITICAL" }
[[modbus.point]]
node = "PLANT1"
tag = "XS301"
description = "PUMP P-301 TRIP"
areas = ["REACTOR"]
register = "discrete:12"
alarm_when = true
priority = "HIGH"
TOML

"$T" demo --out "$work/plant.db" --nodes 1 --tags 1 --alarms 0 >/dev/null
"$T" --node "$work/plant.db" sources check "$work/plant1.toml"

# The signal: slow waves through the limits, and a pump that trips now and then.
(
  for ((t = 0; ; t++)); do
    read -r flow level temp < <(awk -v t="$t" 'BEGIN {
      printf "%.1f %.1f %.1f\n", 50 + 48 * sin(t / 9), 50 + 45 * sin(t / 23), 120 + 70 * sin(t / 13) }')
    mosquitto_pub -h 127.0.0.1 -p "$mport" -t plant1/FIC101/pv -m "{\"pv\": $flow}" || true
    mosquitto_pub -h 127.0.0.1 -p "$mport" -t plant1/LI102 -m "$level" || true
    echo "float input 30 $temp" >&3
    echo "set discrete 12 $(((t / 20) % 3 == 2 ? 1 : 0))" >&3
    sleep 1
  done
) &
pids+=($!)

echo "broker 127.0.0.1:$mport, PLC 127.0.0.1:$pport, files in $work" >&2
if [ "$show" = serve ]; then
  "$T" user add demo --role operator --users "$work/users" --password-stdin <<<"demo" >/dev/null
  echo "http://127.0.0.1:8080/  (user demo, password demo)" >&2
  "$T" --node "$work/plant.db" serve --sources "$work/plant1.toml" --users "$work/users"
else
  "$T" --node "$work/plant.db" ingest --sources "$work/plant1.toml" >"$work/ingest.log" 2>&1 &
  pids+=($!)
  "$T" --node "$work/plant.db" watch
fi
