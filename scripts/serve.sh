#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the release and starts the server in the
# foreground without a window. Its data lives in $KESTRUNE_HOME (default ./run-home).
#
# On a fresh home it first makes the server reachable without root (HTTP on
# $KESTRUNE_PORT, default 8080; HTTPS on $KESTRUNE_SSL_PORT, default 8443) and creates
# the "Admin" account with a generated password, printed once and kept in
# $KESTRUNE_HOME/admin-password.txt (readable by you only). Outgoing mail goes through
# $KESTRUNE_SMTP_SERVER:$KESTRUNE_SMTP_PORT (default localhost:25). Stop with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
scripts/build.sh release --target kestrune
kestrune=build/release/kestrune
home=${KESTRUNE_HOME:-$PWD/run-home}
mkdir -p "$home"

if [ ! -e "$home/kestrune.toml" ]; then
  "$kestrune" --home "$home" settings set Port "${KESTRUNE_PORT:-8080}"
  "$kestrune" --home "$home" settings set SSLPort "${KESTRUNE_SSL_PORT:-8443}"
fi

setup=()
if [ -z "$("$kestrune" --home "$home" users list)" ]; then
  password_file="$home/admin-password.txt"
  if [ ! -s "$password_file" ]; then
    (umask 077 && head -c 12 /dev/urandom | base64 | tr -d '/+=' >"$password_file")
  fi
  echo "First start: log in as Admin with the password $(cat "$password_file")"
  echo "(kept in $password_file; change it with: $kestrune --home $home users passwd Admin --password-file F)"
  setup=(--admin-password-file "$password_file"
         --smtp-server "${KESTRUNE_SMTP_SERVER:-localhost}"
         --smtp-port "${KESTRUNE_SMTP_PORT:-25}")
fi

echo "Web pages: http://localhost:$("$kestrune" --home "$home" settings get Port)/"
exec "$kestrune" --headless --home "$home" "${setup[@]}" "$@"
