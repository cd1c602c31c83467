#!/usr/bin/env bash
# The servers over TLS, in one run: h2load (HTTP/2 through ALPN) against the quillet server and
# hypercorn, and wrk (HTTP/1.1 over https) against the quillet server and uvicorn with
# httptools; one worker each, then the same with two workers each. The demo hello page, a
# self-signed certificate made for the run, no access logs. Not part of CI. Needs, by hand:
#   apt-get install wrk nghttp2-client openssl;  .venv/bin/pip install hypercorn uvicorn httptools
# Usage: bench/bench_tls.sh [seconds] [h2load clients] [streams per client] [wrk connections]
# PY (default .venv/bin/python) names the interpreter; PYTHONPATH is passed through.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY=${PY:-.venv/bin/python}
SECS=${1:-8}; CLIENTS=${2:-10}; STREAMS=${3:-10}; CONNS=${4:-50}
QPORT=8221; HPORT=8222; UPORT=8223
DIR=$(mktemp -d)
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$DIR/key.pem" -out "$DIR/cert.pem" \
  -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1
echo 'keep_alive_max_requests = 1000000000' >"$DIR/hypercorn.toml"
PIDS=()
trap 'kill "${PIDS[@]}" 2>/dev/null; rm -rf "$DIR"' EXIT

start() {  # workers
  local w=$1
  $PY -m quillet serve --port $QPORT --workers "$w" --no-access-log --log-level warning \
    --ssl-certfile "$DIR/cert.pem" --ssl-keyfile "$DIR/key.pem" >/dev/null 2>&1 &
  PIDS+=($!)
  $PY -m hypercorn -c "$DIR/hypercorn.toml" quillet.demo_app:app --bind 127.0.0.1:$HPORT \
    --workers "$w" --certfile "$DIR/cert.pem" --keyfile "$DIR/key.pem" --log-level warning \
    >/dev/null 2>&1 &
  PIDS+=($!)
  $PY -m uvicorn quillet.demo_app:app --port $UPORT --workers "$w" --http httptools \
    --loop asyncio --no-access-log --log-level warning --ssl-certfile "$DIR/cert.pem" \
    --ssl-keyfile "$DIR/key.pem" >/dev/null 2>&1 &
  PIDS+=($!)
  for port in $QPORT $HPORT $UPORT; do
    for _ in $(seq 100); do curl -skf -o /dev/null https://127.0.0.1:$port/ && break; sleep 0.1; done
  done
}

stop() {
  kill "${PIDS[@]}" 2>/dev/null || true
  wait "${PIDS[@]}" 2>/dev/null || true
  PIDS=()
}

h2rate() {  # port: req/s over HTTP/2, failing when any request failed
  local out
  out=$(h2load -D "$SECS" -c "$CLIENTS" -m "$STREAMS" "https://127.0.0.1:$1/")
  grep -q "Application protocol: h2" <<<"$out" || { echo "no h2 on port $1" >&2; exit 1; }
  grep -Eq "requests: .* 0 failed, 0 errored" <<<"$out" || { echo "$out" >&2; exit 1; }
  awk '/^finished in/ {print $4}' <<<"$out"
}

wrkrate() {  # port: req/s over HTTP/1.1 with TLS
  wrk -t1 -c"$CONNS" -d"${SECS}s" "https://127.0.0.1:$1/" | awk '/Requests\/sec/ {print $2}'
}

for workers in 1 2; do
  start "$workers"
  q2=$(h2rate $QPORT); h2=$(h2rate $HPORT)
  q1=$(wrkrate $QPORT); u1=$(wrkrate $UPORT)
  stop
  echo "workers $workers: h2load over TLS: quillet $q2 req/s, hypercorn $h2 req/s," \
    "ratio $(awk -v a="$q2" -v b="$h2" 'BEGIN {printf "%.2f", a / b}');" \
    "wrk over https: quillet $q1 req/s, uvicorn+httptools $u1 req/s," \
    "ratio $(awk -v a="$q1" -v b="$u1" 'BEGIN {printf "%.2f", a / b}')"
done
