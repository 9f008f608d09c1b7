#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the release, sanitizer and fuzz flavours, runs
# every test of each and checks the Debian packages on this machine. Integration tests
# start their own Dovecot and SMTP peers on loopback; browser tests drive Debian's
# Chromium through playwright-core.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
if [ -f package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi

ctest_args=(--output-on-failure --no-tests=error -j "${KESTRUNE_JOBS:-$(nproc)}")

echo "== release build and tests"
scripts/build.sh release
ctest --test-dir build/release "${ctest_args[@]}"

# The Debian packages: built (ccache), linted, installed, served from, upgraded and
# purged again (scripts/package-check.sh; it needs root and leaves no trace). On a
# machine where Kestrune is installed for real, KESTRUNE_PACKAGE_CHECK=quick checks only
# the systemd unit and the version.
if [ "${KESTRUNE_PACKAGE_CHECK:-full}" = quick ]; then
  echo "== Debian packages (quick)"
  scripts/package-check.sh --quick
else
  echo "== Debian packages"
  scripts/package-check.sh
fi

echo "== sanitizer build and tests"
scripts/build.sh asan
# Browser tests exercise the same server code as the release run; they are not repeated here.
ctest --test-dir build/asan "${ctest_args[@]}" -LE e2e

if compgen -G "fuzz/*_fuzz.cpp" >/dev/null; then
  echo "== fuzz targets (bounded time)"
  scripts/build.sh fuzz
  ctest --test-dir build/fuzz "${ctest_args[@]}"
fi
echo "== all tests passed"
