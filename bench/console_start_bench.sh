#!/usr/bin/env bash
# Start-up of kestrune-console on Xvfb: the time from exec to a shown window with the web
# server answering on its port (the "Kestrune Console ready at" line and a connect), and
# the memory at rest (VmRSS and VmHWM three seconds later, idle, one user). Prints the
# minimum and median of RUNS starts. Not run by CI.
#   bench/console_start_bench.sh [BUILD_DIR] [RUNS]     (default build/release, 5)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build/release}
runs=${2:-5}

if [ -z "${KESTRUNE_BENCH_INNER:-}" ]; then
  for program in "$build/kestrune" "$build/kestrune-console"; do
    [ -x "$program" ] || { echo "missing $program (build kestrune and kestrune-console)" >&2; exit 1; }
  done
  # One X server for every run, so its own start is not counted.
  KESTRUNE_BENCH_INNER=1 exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$build" "$runs"
fi

work=$(mktemp -d /tmp/kestrune-console-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
home=$work/home
printf 'bench password\n' > "$work/pw"
"$build/kestrune" --home "$home" setup --admin-password-file "$work/pw" \
  --smtp-server 127.0.0.1 >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$build/kestrune" --home "$home" settings set Port "$port" >/dev/null
"$build/kestrune" --home "$home" settings set EnableSSL 0 >/dev/null

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
times=()
for run in $(seq 1 "$runs"); do
  out=$work/out-$run.txt
  start=$(now_ms)
  "$build/kestrune-console" --home "$home" >"$out" 2>"$work/err-$run.txt" &
  pid=$!
  until grep -q "Kestrune Console ready at" "$out" 2>/dev/null &&
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || { echo "kestrune-console ended:" >&2; cat "$work/err-$run.txt" >&2; exit 1; }
    sleep 0.005
  done
  times+=($(( $(now_ms) - start )))
  if [ "$run" -eq 1 ]; then
    sleep 3
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
    hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")
  fi
  kill -TERM "$pid"
  wait "$pid"
done

sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "kestrune-console start to a shown window with the server listening ($runs runs):"
echo "  min ${sorted[0]} ms, median ${sorted[$(( runs / 2 ))]} ms"
echo "memory at rest: VmRSS $(( rss / 1024 )) MiB, peak VmHWM $(( hwm / 1024 )) MiB"
