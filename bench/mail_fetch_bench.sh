#!/usr/bin/env bash
# Fetch throughput from a real Dovecot: 1,000 and 10,000 messages of about 4 KB in one
# run, fetched by (a) a bare RETR loop, (b) a RETR loop that writes and fsyncs each
# message (the durable baseline), (c) Debian's fetchmail delivering each message to an
# MDA that writes and syncs it, and (d) `kestrune mail receive`. Prints messages per
# second and the ratios; then (e) `kestrune mail receive` with the full-text index turned
# off (KESTRUNE_SEARCH_INDEX=off), against (d) which adds every message to an existing
# index (goal: d at most 10% slower than e). KESTRUNE_ONLY=1 runs only (d) and (e).
# NO_FETCHMAIL=1 leaves out (c) (minutes at 10,000 messages); KESTRUNE_BEFORE=path also
# times another kestrune binary (an older build) as (d0) in the same run.
# Not run by CI; installs fetchmail with apt when it is missing.
#   bench/mail_fetch_bench.sh [BUILD_DIR] [COUNTS...]     (default build/release, 1000 10000)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build/release}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000 10000)
kestrune=$build/kestrune
baseline=$build/bench/pop3_fetch_baseline_bench
for program in "$kestrune" "$baseline"; do
  [ -x "$program" ] || { echo "missing $program (build the kestrune and pop3_fetch_baseline_bench targets)" >&2; exit 1; }
done
only_kestrune=${KESTRUNE_ONLY:-}
no_fetchmail=${NO_FETCHMAIL:-}
before=${KESTRUNE_BEFORE:-}
if [ -z "$only_kestrune" ] && [ -z "$no_fetchmail" ] && ! command -v fetchmail >/dev/null; then
  echo "installing fetchmail" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq fetchmail >/dev/null
fi

work=$(mktemp -d /tmp/kestrune-fetch-bench-XXXXXX)
chmod 0755 "$work"  # Dovecot's unprivileged processes read below it
cleanup() { "$root/scripts/peers" stop "$work/peers" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT
[ -z "${KEEP_BENCH_DIR:-}" ] || trap - EXIT
KESTRUNE_PEERS_MAILBOXES=2 "$root/scripts/peers" start "$work/peers" >/dev/null
# shellcheck disable=SC1091
. "$work/peers/peers.env"
user=box001
password=pw-box001
maildir=$POP3_MAIL_ROOT/$user/Maildir

now_ns() { date +%s%N; }

# make_template N: N messages of about 4 KB, owned by the mail user.
make_template() {
  local n=$1 dir=$work/template-$1
  mkdir -p "$dir"
  /usr/bin/python3 - "$dir" "$n" <<'PY'
import sys
dir, n = sys.argv[1], int(sys.argv[2])
line = "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor.\n"
body = line * 50
for i in range(1, n + 1):
    with open(f"{dir}/{1000000000 + i}.M{i}P1.bench", "w") as f:
        f.write(f"From: Bench <bench@test.example>\nTo: box@test.example\n"
                f"Subject: Bench message {i}\nMessage-ID: <bench{i}@test.example>\n"
                f"Date: Tue, 1 Dec 2026 10:00:00 +0000\nMIME-Version: 1.0\n"
                f"Content-Type: text/plain; charset=us-ascii\n\n{body}")
PY
  chown -R "$POP3_UID:$POP3_GID" "$dir"
}

# refill N: the mailbox holds exactly the N template messages (hard links, so instant).
refill() {
  rm -rf "$maildir/new" "$maildir/cur" "$maildir/tmp" "$maildir"/dovecot*
  mkdir -p "$maildir/new" "$maildir/cur" "$maildir/tmp"
  cp -l "$work/template-$1/"* "$maildir/new/"
  chown -R "$POP3_UID:$POP3_GID" "$maildir"
}

# timed N LABEL COMMAND...: runs the command after a refill and prints its rate.
declare -A rate
timed() {
  local n=$1 label=$2
  shift 2
  refill "$n"
  sync
  local start end
  start=$(now_ns)
  "$@" >"$work/out.txt" 2>"$work/err.txt" || { echo "$label failed:" >&2; cat "$work/err.txt" >&2; exit 1; }
  end=$(now_ns)
  rate[$label-$n]=$(/usr/bin/python3 -c "print(f'{$n / (($end - $start) / 1e9):.0f}')")
  printf '%-34s %6d messages  %8.3f s  %7s msg/s\n' "$label" "$n" \
    "$(/usr/bin/python3 -c "print(($end - $start) / 1e9)")" "${rate[$label-$n]}"
}

fetchmail_run() {
  local store=$1
  mkdir -p "$store"
  cat > "$work/mda" <<MDA
#!/bin/sh
f="$store/\$(date +%s%N).\$\$.eml"
cat > "\$f" && sync "\$f"
MDA
  chmod +x "$work/mda"
  cat > "$work/fetchmailrc" <<RC
set no syslog
poll 127.0.0.1 port $POP3_PORT proto pop3 auth password
  user "$user" password "$password" is root here
  mda "$work/mda"
  fetchall nokeep no sslcertck
RC
  chmod 0600 "$work/fetchmailrc"
  FETCHMAILHOME=$work fetchmail -f "$work/fetchmailrc" -N -s --nosslcertck
}

# Every run writes into fresh directories and nothing is removed before the end: on an
# ext4 without a journal, each new file's inode search steps over every inode freed in
# the last minutes, which would bill a run for the removal of the run before it.
runs=0
kestrune_home() {
  local home
  home=$(mktemp -d "$work/home-$1-XXXXXX")
  printf 'secret\n' > "$home/pw"; printf '%s\n' "$password" > "$home/pop"
  "$kestrune" --home "$home" users add Bench --password-file "$home/pw" --pop-server 127.0.0.1 \
    --pop-port "$POP3_PORT" --pop-user "$user" --pop-password-file "$home/pop" --auto-check
  "$kestrune" --home "$home" settings set PopTls 0 >/dev/null 2>&1 || true
  "$kestrune" --home "$home" index-rebuild Bench >/dev/null  # an index for the fetch to add to
  echo "$home"
}

for n in "${counts[@]}"; do
  make_template "$n"
  if [ -n "$only_kestrune" ]; then
    # Alternating rounds (ROUNDS, default 5) and their medians: a shared machine's load
    # moves single runs by more than the difference measured.
    on=() off=()
    for _ in $(seq "${ROUNDS:-5}"); do
      home=$(kestrune_home "$n")
      timed "$n" "(d) kestrune mail receive" "$kestrune" --home "$home" mail receive
      on+=("${rate[(d) kestrune mail receive-$n]}")
      home=$(kestrune_home "$n")
      timed "$n" "(e) the same, index off" env KESTRUNE_SEARCH_INDEX=off "$kestrune" --home "$home" mail receive
      off+=("${rate[(e) the same, index off-$n]}")
    done
    /usr/bin/python3 - "${on[*]}" "${off[*]}" <<'PY'
import statistics, sys
d = statistics.median(map(float, sys.argv[1].split()))
e = statistics.median(map(float, sys.argv[2].split()))
print(f"  medians: index on {d:.0f} msg/s, off {e:.0f} msg/s: indexing costs "
      f"{100 * (e / d - 1):.1f}% of the fetch time (goal <= 10%)")
PY
    continue
  fi
  timed "$n" "(a) bare RETR loop" "$baseline" retr 127.0.0.1 "$POP3_PORT" "$user" "$password"
  runs=$((runs + 1))
  mkdir -p "$work/fsync-$runs"
  timed "$n" "(b) RETR + write + fsync" "$baseline" fsync 127.0.0.1 "$POP3_PORT" "$user" "$password" "$work/fsync-$runs"
  if [ -z "$no_fetchmail" ]; then
    runs=$((runs + 1))
    timed "$n" "(c) fetchmail + syncing MDA" fetchmail_run "$work/fetchmail-store-$runs"
    got=$(find "$work/fetchmail-store-$runs" -type f | wc -l)
    [ "$got" -eq "$n" ] || { echo "fetchmail delivered $got of $n" >&2; exit 1; }
  else
    rate[(c) fetchmail + syncing MDA-$n]=0
  fi
  if [ -n "$before" ]; then
    home=$(kestrune_home "$n")
    timed "$n" "(d0) kestrune before" "$before" --home "$home" mail receive
  fi
  home=$(kestrune_home "$n")
  timed "$n" "(d) kestrune mail receive" "$kestrune" --home "$home" mail receive
  stored=$(find "$home/Users/Bench" -name '*.eml' | wc -l)
  [ "$stored" -eq "$n" ] || { echo "kestrune stored $stored of $n" >&2; exit 1; }
  /usr/bin/python3 - "${rate[(a) bare RETR loop-$n]}" "${rate[(b) RETR + write + fsync-$n]}" \
    "${rate[(c) fetchmail + syncing MDA-$n]}" "${rate[(d) kestrune mail receive-$n]}" <<'PY'
import sys
a, b, c, d = map(float, sys.argv[1:])
dc = f"{d / c:.2f}" if c else "-"
print(f"  ratios: d/b = {d / b:.2f} (goal >= 0.8)   d/c = {dc} (goal >= 3)   d/a = {d / a:.2f}")
PY
done
