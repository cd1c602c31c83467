#!/usr/bin/env bash
# wrk against the demo hello page: the quillet server beside uvicorn with httptools serving the
# same ASGI application, one worker each, in the same run. Not part of CI. Needs, by hand:
#   apt-get install wrk;  .venv/bin/pip install uvicorn httptools
# Usage: bench/bench_server.sh [seconds] [connections] [rounds]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY=.venv/bin/python
SECS=${1:-8}; CONNS=${2:-50}; ROUNDS=${3:-2}
QPORT=8201; UPORT=8202
$PY -m quillet serve --port $QPORT --no-access-log >/dev/null 2>&1 & QPID=$!
$PY -m uvicorn quillet.demo_app:app --port $UPORT --http httptools --loop asyncio \
  --no-access-log --log-level warning >/dev/null 2>&1 & UPID=$!
trap 'kill $QPID $UPID 2>/dev/null' EXIT
for port in $QPORT $UPORT; do
  for _ in $(seq 50); do curl -sf -o /dev/null http://127.0.0.1:$port/ && break; sleep 0.1; done
done
rate() { wrk -t1 -c"$CONNS" -d"${SECS}s" "http://127.0.0.1:$1/" | awk '/Requests\/sec/ {print $2}'; }
for round in $(seq "$ROUNDS"); do
  q=$(rate $QPORT); u=$(rate $UPORT)
  echo "round $round: quillet $q req/s, uvicorn+httptools $u req/s, ratio $(echo "$q $u" | awk '{printf "%.2f", $1/$2}')"
done
