#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the release and starts the server in the
# foreground without a window. Its data lives in $KESTRUNE_HOME (default ./run-home).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
scripts/build.sh release --target kestrune
home=${KESTRUNE_HOME:-$PWD/run-home}
mkdir -p "$home"
exec build/release/kestrune --headless --home "$home" "$@"
