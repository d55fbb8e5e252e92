#!/bin/sh
# The demonstration model and the benchmark network at one thread and at the
# default team (peer_bench team), on the machine as it is and beside eight
# busy processes that this script starts and stops by their PIDs.
#
#   runtime/bench/shared_load.sh [peer_bench] [model.kfm]
set -eu
bench=${1:-build-rel/runtime/bench/peer_bench}
model=${2:-build-rel/models/demo.kfm}

run() {
  "$bench" team "$model"
  "$bench" team
}

echo "as the machine is (load average $(cut -d' ' -f1-3 /proc/loadavg)):"
run

pids=""
stop() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  pids=""
}
trap stop EXIT INT TERM
for i in 1 2 3 4 5 6 7 8; do
  sh -c 'while :; do :; done' &
  pids="$pids $!"
done
sleep 1
echo "beside 8 busy processes:"
run
stop
