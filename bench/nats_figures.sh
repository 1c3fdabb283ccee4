#!/usr/bin/env bash
# Figures of the plant-wide deployment on this machine, loopback (see
# bench/nats_figures.cpp): three routed nats-servers, streams with three
# replicas, three node daemons each holding its node of one plant store
# (ALARMS alarms per node), two stations. One server is killed during the
# acknowledge run, one daemon at the end.
# Usage: bench/nats_figures.sh [build-dir] [alarms-per-node] [acks] [follower|leader]
# Needs a build with -DTOLVANE_BUILD_BENCH=ON (bench/nats_figures).
set -euo pipefail
build=${1:-build}
per_node=${2:-33000}
acks=${3:-300}
kill=${4:-follower}
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 3
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

nodes=3
"$build/tools/tolvane" demo --out "$work/plant.db" --nodes $nodes \
  --tags $((per_node * nodes + nodes * 200)) --alarms $((per_node * nodes)) >/dev/null
echo "store: $(du -m "$work/plant.db" | cut -f1) MB, $((per_node * nodes)) alarms on $nodes nodes"
"$build/bench/nats_figures" whole-plant "$work/plant.db"

ports=() cports=()
for i in 1 2 3; do ports+=("$(free_port)"); cports+=("$(free_port)"); done
urls="" servers=""
for i in 0 1 2; do
  routes=""
  for j in 0 1 2; do
    [ "$i" = "$j" ] && continue
    routes+="${routes:+, }nats-route://127.0.0.1:${cports[$j]}"
  done
  cat >"$work/s$i.conf" <<EOF
server_name: s$i
listen: 127.0.0.1:${ports[$i]}
jetstream { store_dir: "$work/js$i" }
cluster { name: figures, listen: 127.0.0.1:${cports[$i]}, routes: [ $routes ] }
EOF
  nats-server -c "$work/s$i.conf" >"$work/s$i.log" 2>&1 &
  pids+=($!)
  servers+="${servers:+,}s$i=$!"
  urls+="${urls:+,}nats://127.0.0.1:${ports[$i]}"
done
for i in 0 1 2; do until grep -qs "Server is ready" "$work/s$i.log"; do sleep 0.1; done; done
"$build/tools/tolvane-node" --nats "$urls" --make-streams --replicas 3

daemon_pids=()
for n in PLANT1 PLANT2 UTILS; do
  "$build/tools/tolvane-node" --nats "$urls" --node "$n" --store "$work/plant.db" \
    >"$work/$n.log" 2>&1 &
  pids+=($!)
  daemon_pids+=($!)
done
i=0
for n in PLANT1 PLANT2 UTILS; do
  until grep -qs "ready $n" "$work/$n.log"; do
    if ! kill -0 "${daemon_pids[$i]}" 2>/dev/null; then cat "$work/$n.log"; exit 1; fi
    sleep 0.2
  done
  cat "$work/$n.log"
  i=$((i + 1))
done
"$build/bench/nats_figures" run "$urls" --servers "$servers" --kill "$kill" \
  --kill-daemon "UTILS=${daemon_pids[2]}" \
  --daemons "$(IFS=,; echo "${daemon_pids[*]}")" --acks "$acks"
