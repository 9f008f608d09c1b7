#!/usr/bin/env bash
# Requests per second and latency of the web toolkit on loopback, measured with wrk:
# a rendered page of a live session, a static file kept alive and one request per
# connection, and nginx serving the same file both ways in the same run with as many
# worker processes as the toolkit has network threads (2).
# Usage: bench/http_bench.sh [build-dir] (default build/release). HTTP_BENCH_SERVER names
# another http_bench binary to measure (an older build, for a before/after comparison).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
duration=${BENCH_SECONDS:-10}
server=${HTTP_BENCH_SERVER:-$build/bench/http_bench}
[ -n "${HTTP_BENCH_SERVER:-}" ] || cmake --build "$build" --target http_bench >/dev/null
workers=${NGINX_WORKERS:-2}
work=$(mktemp -d)
server_pid=""
nginx_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/in"
"$server" --serve "$work/home" <"$work/in" >"$work/out" &
server_pid=$!
exec 3>"$work/in"
for _ in $(seq 50); do grep -q '^COOKIE' "$work/out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^PORT //p' "$work/out")
cookie=$(sed -n 's/^COOKIE //p' "$work/out")

free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
nginx_port=$(free_port)
nginx_close_port=$(free_port)
mkdir -p "$work/nginx/logs"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes $workers;
error_log $work/nginx/logs/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  server { listen 127.0.0.1:$nginx_port; root $work/home/Files; }
  server { listen 127.0.0.1:$nginx_close_port; root $work/home/Files; keepalive_timeout 0; }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
sleep 0.5

run() {  # label, wrk arguments...
  local label=$1; shift
  local out; out=$(wrk -d"${duration}s" --latency "$@")
  local rps; rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  local p50; p50=$(awk '$1=="50%" {print $2}' <<<"$out")
  local p99; p99=$(awk '$1=="99%" {print $2}' <<<"$out")
  printf '%-34s %12s req/s   p50 %8s   p99 %8s\n' "$label" "$rps" "$p50" "$p99" >&2
  echo "$rps"
}
# A session serves one request at a time, so its page is measured with one connection.
page=$(run "rendered page, live session (c1)" -t1 -c1 -H "Cookie: $cookie" "http://127.0.0.1:$port/index")
ours=$(run "static file, Kestrune keep-alive (c32)" -t2 -c32 "http://127.0.0.1:$port/files/static.html")
ours_close=$(run "static file, Kestrune one per conn (c32)" -t2 -c32 -H "Connection: close" "http://127.0.0.1:$port/files/static.html")
theirs=$(run "static file, nginx keep-alive (c32)" -t2 -c32 "http://127.0.0.1:$nginx_port/static.html")
theirs_close=$(run "static file, nginx one per conn (c32)" -t2 -c32 "http://127.0.0.1:$nginx_close_port/static.html")
python3 -c "print(f'static file: Kestrune / nginx keep-alive = {float(\"$ours\")/float(\"$theirs\"):.2f}, one request per connection = {float(\"$ours_close\")/float(\"$theirs_close\"):.2f} (nginx with $workers workers)')"
exec 3>&-
