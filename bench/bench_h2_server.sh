#!/usr/bin/env bash
# h2load against the demo hello page: the quillet server over h2c (HTTP/2 with prior knowledge)
# beside hypercorn serving the same ASGI application over h2c, and beside the quillet server over
# HTTP/1.1, one worker each, in the same run. Not part of CI. Needs, by hand:
#   apt-get install nghttp2-client;  .venv/bin/pip install hypercorn
# Usage: bench/bench_h2_server.sh [requests] [clients] [streams per client] [rounds]
# PY (default .venv/bin/python) names the interpreter; PYTHONPATH is passed through, so a build
# tree can stand in for the installed package.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY=${PY:-.venv/bin/python}
N=${1:-200000}; CLIENTS=${2:-10}; STREAMS=${3:-10}; ROUNDS=${4:-2}
QPORT=8211; HPORT=8212
# hypercorn closes a connection after 1000 requests by default, and h2load does not reconnect:
# lift that limit so that every client keeps its one connection, as with ours.
HCONF=$(mktemp --suffix .toml)
echo 'keep_alive_max_requests = 1000000000' >"$HCONF"
$PY -m quillet serve --port $QPORT --no-access-log >/dev/null 2>&1 & QPID=$!
$PY -m hypercorn -c "$HCONF" quillet.demo_app:app --bind 127.0.0.1:$HPORT --workers 1 \
  --log-level warning >/dev/null 2>&1 & HPID=$!
trap 'kill $QPID $HPID 2>/dev/null; rm -f "$HCONF"' EXIT
for port in $QPORT $HPORT; do
  for _ in $(seq 100); do curl -sf -o /dev/null http://127.0.0.1:$port/ && break; sleep 0.1; done
  curl -sf -o /dev/null --http2-prior-knowledge http://127.0.0.1:$port/ \
    || { echo "port $port does not answer over h2c" >&2; exit 1; }
done
# Prints req/s; fails when any request did not succeed.
rate() {
  local out
  out=$(h2load "$@")
  echo "$out" | awk '
    /^finished in/ { rate = $4 }
    /^requests:/ { total = $2; ok = $8 }
    END { if (ok != total || total == 0) { print "FAILED " ok "/" total > "/dev/stderr"; exit 1 }
          print rate }'
}
# hypercorn is about ten times slower: give it a tenth of the requests so the rounds last alike.
HN=$((N / 10))
echo "h2load -n $N -c $CLIENTS -m $STREAMS (hypercorn: -n $HN); HTTP/1.1: --h1 -c $CLIENTS -m 1"
for round in $(seq "$ROUNDS"); do
  q=$(rate -n "$N" -c "$CLIENTS" -m "$STREAMS" "http://127.0.0.1:$QPORT/")
  h=$(rate -n "$HN" -c "$CLIENTS" -m "$STREAMS" "http://127.0.0.1:$HPORT/")
  q1=$(rate --h1 -n "$N" -c "$CLIENTS" -m 1 "http://127.0.0.1:$QPORT/")
  echo "round $round: quillet h2c $q req/s, hypercorn h2c $h req/s, quillet HTTP/1.1 $q1 req/s;" \
    "ratios: $(echo "$q $h $q1" | awk '{printf "%.1fx hypercorn (goal 10x), %.2fx our HTTP/1.1 (goal 1x)", $1/$2, $1/$3}')"
done
