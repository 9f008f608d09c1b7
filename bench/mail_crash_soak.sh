#!/usr/bin/env bash
# The crash-safety trials of tests/integration/mail_crash_test.cpp with 100 kills each
# instead of CI's 20 (SIGKILL of `kestrune mail receive` during fetches of 600 messages,
# three commits a run, and of `kestrune mail send` with 50 Outbox messages), and as many
# kills of a writer of read marks (tests/store/email_db_test.cpp: whole index, no acknowledged mark lost). Not run by CI.
#   bench/mail_crash_soak.sh [BUILD_DIR] [TRIALS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
trials=${2:-100}
work=$(mktemp -d /tmp/kestrune-crash-soak-XXXXXX)
chmod 0755 "$work"
trap '"$root/scripts/peers" stop "$work" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
"$root/scripts/peers" start "$work" >/dev/null
KESTRUNE_PEERS_ENV=$work/peers.env KESTRUNE_CRASH_TRIALS=$trials \
  "$build/tests/test_integration_mail_crash"
KESTRUNE_CRASH_TRIALS=$trials "$build/tests/test_store_email_db" \
  --gtest_filter='*KilledWhileSavingReadMarks*'
