#!/usr/bin/env bash
# wrk against the demo hello page: the quillet server beside uvicorn with httptools serving the
# same ASGI application, one worker each, in the same run: first both on the standard asyncio
# event loop, then both on uvloop. Not part of CI. Needs, by hand:
#   apt-get install wrk;  .venv/bin/pip install uvicorn httptools uvloop
# Usage: bench/bench_server.sh [seconds] [connections] [rounds] [loops]
# (loops: "asyncio uvloop" by default). Beside each rate: the server's CPU time per request
# (user + system, from /proc), which moves less than the rate when the machine is shared.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY=${PY:-.venv/bin/python}
SECS=${1:-8}; CONNS=${2:-50}; ROUNDS=${3:-2}; LOOPS=${4:-asyncio uvloop}
QPORT=8201; UPORT=8202
HZ=$(getconf CLK_TCK)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null' EXIT

cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# rate PORT PID: "requests/s cpu-us-per-request"
rate() {
  local before after out
  before=$(cpu "$2")
  out=$(wrk -t1 -c"$CONNS" -d"${SECS}s" "http://127.0.0.1:$1/")
  after=$(cpu "$2")
  echo "$out" | awk -v t=$((after - before)) -v hz="$HZ" '
    /requests in/ {n = $1} /Requests\/sec/ {r = $2}
    END {printf "%s %.1f\n", r, t / hz * 1e6 / n}'
}

for loop in $LOOPS; do
  $PY -m quillet serve --port $QPORT --no-access-log --loop "$loop" >/dev/null 2>&1 & QPID=$!
  $PY -m uvicorn quillet.demo_app:app --port $UPORT --http httptools --loop "$loop" \
    --no-access-log --log-level warning >/dev/null 2>&1 & UPID=$!
  pids+=($QPID $UPID)
  for port in $QPORT $UPORT; do
    for _ in $(seq 50); do curl -sf -o /dev/null http://127.0.0.1:$port/ && break; sleep 0.1; done
  done
  for round in $(seq "$ROUNDS"); do
    read -r q qc < <(rate $QPORT $QPID)
    read -r u uc < <(rate $UPORT $UPID)
    echo "$loop round $round: quillet $q req/s ($qc us CPU/req), uvicorn+httptools $u req/s" \
      "($uc us CPU/req), ratio $(echo "$q $u" | awk '{printf "%.2f", $1/$2}')" \
      "(CPU $(echo "$qc $uc" | awk '{printf "%.2f", $2/$1}'))"
  done
  kill $QPID $UPID; wait $QPID $UPID 2>/dev/null || true
done
