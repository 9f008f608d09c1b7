#!/usr/bin/env bash
# Checks the Debian packages end to end on this machine:
#   1. builds kestrune and kestrune-console with dpkg-buildpackage (ccache and mold as in
#      scripts/build.sh) from the working tree, and an older package (version "~prev")
#      from the previous commit, or from the same tree when that commit has no debian/;
#   2. runs lintian (errors and unexplained warnings fail) and systemd-analyze verify;
#   3. installs the older packages with dpkg -i, checks the files' places and owners,
#      sets the server up unattended as the kestrune user, starts it headless on a test
#      port (runuser: there is no running systemd here) and fetches the login page;
#   4. upgrades to the new packages: every file of /var/lib/kestrune stays byte for byte,
#      a template the administrator changed in the home is still the one served;
#   5. purges both packages and removes the kestrune user it made: the machine is left
#      as it was. A failure at any step cleans up the same way.
#
#   scripts/package-check.sh           the whole check (root; runs itself through sudo)
#   scripts/package-check.sh --quick   no package: systemd-analyze verify on the unit with
#                                      the release build's kestrune, and the version check
# The packages and the build log stay in $KESTRUNE_PACKAGE_DIR (default
# /var/tmp/kestrune-package). KESTRUNE_JOBS sets the build's parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
mode=${1:-full}

say() { echo "package-check: $*"; }
fail() { echo "package-check: FAILED: $*" >&2; exit 1; }

changelog_version() { dpkg-parsechangelog -l "$1/debian/changelog" -S Version; }

# The unit as installed, verified with a given kestrune executable and the man page of
# the tree (Documentation= is checked too).
verify_unit() {
  local unit=$1 kestrune=$2 work
  work=$(mktemp -d)
  mkdir -p "$work/man/man8"
  cp dist/kestrune.8 "$work/man/man8/"
  sed "s#/usr/bin/kestrune#$kestrune#" "$unit" >"$work/kestrune.service"
  local out
  out=$(MANPATH="$work/man" systemd-analyze verify "$work/kestrune.service" 2>&1) || {
    echo "$out" >&2
    rm -rf "$work"
    fail "systemd-analyze verify $unit"
  }
  rm -rf "$work"
  [ -z "$out" ] || { echo "$out" >&2; fail "systemd-analyze verify printed warnings"; }
  say "systemd-analyze verify: clean"
}

check_version() {
  local kestrune=$1 expected
  expected="kestrune $(changelog_version "$source_dir")"
  [ "$("$kestrune" --version)" = "$expected" ] ||
    fail "$kestrune --version says '$("$kestrune" --version)', debian/changelog '$expected'"
  say "version: $expected"
}

if [ "$mode" = --quick ]; then
  kestrune=${2:-build/release/kestrune}
  [ -x "$kestrune" ] || fail "$kestrune not built (scripts/build.sh release --target kestrune)"
  verify_unit debian/kestrune.service "$(realpath "$kestrune")"
  check_version "$kestrune"
  exit 0
fi
[ "$mode" = full ] || { echo "usage: $0 [--quick [KESTRUNE]]" >&2; exit 2; }

if [ "$(id -u)" -ne 0 ]; then exec sudo -E "$0" "$@"; fi
[ -d /run/systemd/system ] && say "note: systemd runs here; the check still starts the server by hand"

if dpkg-query -W -f='${Status}' kestrune 2>/dev/null | grep -q "installed"; then
  fail "kestrune is installed on this machine; the check installs and purges its own"
fi
[ ! -e /var/lib/kestrune ] || fail "/var/lib/kestrune exists; the check would delete it"
made_user=1
getent passwd kestrune >/dev/null && made_user=0
made_group=1
getent group kestrune >/dev/null && made_group=0

work=${KESTRUNE_PACKAGE_DIR:-/var/tmp/kestrune-package}
# The build tree's path is always the same, so that ccache finds its objects again.
build=$work/build/kestrune
mkdir -p "$work"
server_pid=""
trial=""

cleanup() {
  local status=$?
  set +e
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid"
    wait "$server_pid"
  fi
  if dpkg-query -W -f='${Status}' kestrune-console 2>/dev/null | grep -q installed; then
    dpkg --purge kestrune-console >/dev/null
  fi
  if dpkg-query -W -f='${Status}' kestrune 2>/dev/null | grep -qv "not-installed"; then
    dpkg --purge kestrune >/dev/null
  fi
  [ "$made_user" = 1 ] && getent passwd kestrune >/dev/null && userdel kestrune
  [ "$made_group" = 1 ] && getent group kestrune >/dev/null && groupdel kestrune
  [ -n "$trial" ] && rm -rf "$trial"
  rm -rf "$work/build"
  [ "$status" = 0 ] || echo "package-check: FAILED (machine cleaned up)" >&2
  exit "$status"
}
trap cleanup EXIT

# dpkg-buildpackage over a copy of a tree; the packages land in $work/$2.
build_packages() {
  local from=$1 name=$2 version=$3
  rm -rf "$work/build" "$work/$name"
  mkdir -p "$build" "$work/$name"
  if [ "$from" = worktree ]; then
    # Tracked and new files as they are now, without ignored ones (build trees).
    git ls-files -z -co --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$build"
  else
    git archive "$from" | tar -xf - -C "$build"
  fi
  if [ -n "$version" ]; then
    sed -i "1s/([^)]*)/($version)/" "$build/debian/changelog"
  fi
  local cache_dir config
  cache_dir=$(ccache -k cache_dir 2>/dev/null || true)
  config=${XDG_CONFIG_HOME:-$HOME/.config}/ccache/ccache.conf
  local started=$SECONDS
  (
    cd "$build"
    # debhelper gives the build a HOME of its own: name the cache and its settings.
    [ -n "$cache_dir" ] && export CCACHE_DIR=$cache_dir
    [ -f "$config" ] && export CCACHE_CONFIGPATH=$config
    export CCACHE_BASEDIR=$build
    # The debug-symbol packages are not installed here: not making them saves their
    # compression.
    export DEB_BUILD_OPTIONS="parallel=${KESTRUNE_JOBS:-2} noautodbgsym ${DEB_BUILD_OPTIONS:-}"
    set -o pipefail
    dpkg-buildpackage -us -uc -b 2>&1 |
      while IFS= read -r line; do printf '%(%T)T %s\n' -1 "$line"; done >"$work/$name.build.log"
  ) || { tail -40 "$work/$name.build.log" >&2; fail "dpkg-buildpackage ($name), log: $work/$name.build.log"; }
  say "built $name packages in $((SECONDS - started)) s"
  mv "$work"/build/*.deb "$work"/build/*.changes "$work"/build/*.buildinfo "$work/$name/"
  mv "$work"/build/*.ddeb "$work/$name/" 2>/dev/null || true
}

version=$(changelog_version "$source_dir")
build_packages worktree current ""

say "lintian"
# Not as root (lintian warns against it): the packages are readable by everyone.
chmod -R a+rX "$work/current"
runuser -u nobody -- lintian --fail-on error,warning --display-info "$work"/current/*.changes |
  tee "$work/lintian.txt"
say "lintian: no errors, no unexplained warnings"

older="${version}~prev"
if git cat-file -e HEAD~1:debian/changelog 2>/dev/null; then
  say "older package: the previous commit $(git rev-parse --short HEAD~1) as $older"
  build_packages HEAD~1 previous "$older"
else
  say "older package: the previous commit has no debian/; this tree as $older"
  build_packages worktree previous "$older"
fi

deb() { ls "$work/$1/$2"_*.deb; }

say "install $older"
dpkg -i "$(deb previous kestrune)" "$(deb previous kestrune-console)" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "dpkg -i of the older packages (dependencies?)"; }
grep -q "runuser -u kestrune -- kestrune --home /var/lib/kestrune setup" "$work/install.log" ||
  fail "the first install does not say how to create the Admin account"

# Places, owners, modes.
expect_stat() {
  local path=$1 want=$2 got
  got=$(stat -c '%U:%G %a' "$path" 2>/dev/null) || fail "$path missing"
  [ "$got" = "$want" ] || fail "$path is $got, expected $want"
}
expect_stat /usr/bin/kestrune "root:root 755"
expect_stat /usr/bin/kestrune-console "root:root 755"
expect_stat /usr/share/kestrune/Templates/login.htm "root:root 644"
expect_stat /usr/share/kestrune/Files/kestrune.css "root:root 644"
expect_stat /usr/share/kestrune/js/IWCommon.js "root:root 644"
expect_stat /usr/share/man/man8/kestrune.8.gz "root:root 644"
expect_stat /usr/share/man/man1/kestrune-console.1.gz "root:root 644"
expect_stat /usr/share/applications/kestrune-console.desktop "root:root 644"
expect_stat /lib/systemd/system/kestrune.service "root:root 644"
expect_stat /var/lib/kestrune "kestrune:kestrune 750"
uid=$(id -u kestrune)
[ "$uid" -lt 1000 ] || fail "kestrune is not a system user (uid $uid)"
[ "$(getent passwd kestrune | cut -d: -f7)" = /usr/sbin/nologin ] || fail "kestrune has a login shell"
[ -z "$(find /var/lib/kestrune -mindepth 1)" ] || fail "the install wrote into /var/lib/kestrune"
say "files, owners and modes: as expected"

verify_unit /lib/systemd/system/kestrune.service /usr/bin/kestrune

# Set up unattended as the service's user, then start the server as systemd would.
trial=$(mktemp -d)
chmod 711 "$trial"
(umask 077 && head -c 12 /dev/urandom | base64 >"$trial/admin-password.txt")
chown kestrune: "$trial/admin-password.txt"
# Two different free ports (both held open while they are chosen).
read -r port ssl_port < <(python3 -c '
import socket
held = [socket.socket() for _ in range(2)]
for s in held: s.bind(("0.0.0.0", 0))
print(*(s.getsockname()[1] for s in held))')
as_kestrune() { runuser -u kestrune -- "$@"; }
# Test ports: runuser gives no CAP_NET_BIND_SERVICE, as the unit does for 80 and 443.
as_kestrune kestrune --home /var/lib/kestrune settings set Port "$port" >/dev/null
as_kestrune kestrune --home /var/lib/kestrune settings set SSLPort "$ssl_port" >/dev/null
as_kestrune kestrune --home /var/lib/kestrune setup --admin-password-file "$trial/admin-password.txt" \
  --smtp-server localhost </dev/null >"$trial/setup.log" 2>&1 ||
  { cat "$trial/setup.log" >&2; fail "setup as the kestrune user"; }
[ -z "$(find /var/lib/kestrune ! -user kestrune)" ] || fail "files in the home not owned by kestrune"

# Starts the server, waits for its login page, stops it with SIGTERM.
serve_login_page() {
  local page=$1
  runuser -u kestrune -- kestrune --headless --home /var/lib/kestrune </dev/null \
    >"$trial/server.log" 2>&1 &
  server_pid=$!
  local tries=0
  # Plain HTTP sends browsers to HTTPS (a certificate of its own: -k); the pages are for
  # browsers, so curl says it is one.
  local agent="Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36"
  until curl -fsS "http://127.0.0.1:$port/" 2>/dev/null | grep -q "https://127.0.0.1:$ssl_port/" &&
    curl -fsSkL -A "$agent" -c "$trial/cookies" -b "$trial/cookies" -o "$page" \
      "https://127.0.0.1:$ssl_port/" 2>/dev/null; do
    kill -0 "$server_pid" 2>/dev/null || { cat "$trial/server.log" >&2; fail "the server ended"; }
    tries=$((tries + 1))
    [ "$tries" -lt 300 ] || { cat "$trial/server.log" >&2; fail "no login page after 30 s"; }
    sleep 0.1
  done
  # SIGTERM to the server itself, as systemd sends it; runuser passes its status on.
  kill -TERM "$(pgrep -P "$server_pid" -x kestrune)"
  local status=0
  wait "$server_pid" || status=$?
  server_pid=""
  [ "$status" = 0 ] || { cat "$trial/server.log" >&2; fail "the server's exit status was $status"; }
  grep -qi 'name="IWUSERNAME"' "$page" || fail "the page at / is not the login page"
}

[ "$(kestrune --version)" = "kestrune $(changelog_version "$build" | sed 's/~prev$//')" ] ||
  fail "kestrune --version: $(kestrune --version)"
serve_login_page "$trial/login-before.htm"
say "the server ran as kestrune on port $port and served the login page"

# The administrator's own copy of the templates, with one page changed.
as_kestrune cp -r /usr/share/kestrune/Templates /var/lib/kestrune/Templates
as_kestrune sed -i 's#<body class="kst">#<body class="kst"><!-- changed on this site -->#' \
  /var/lib/kestrune/Templates/login.htm

snapshot() {
  (cd /var/lib/kestrune && find . -printf '%p %U:%G %m %s\n' | sort &&
    find . -type f -print0 | sort -z | xargs -0 sha256sum)
}
snapshot >"$trial/home-before.txt"

say "upgrade to $version"
dpkg -i "$(deb current kestrune)" "$(deb current kestrune-console)" >"$work/upgrade.log" 2>&1 ||
  { cat "$work/upgrade.log" >&2; fail "dpkg -i upgrade"; }
snapshot >"$trial/home-after.txt"
diff "$trial/home-before.txt" "$trial/home-after.txt" >&2 || fail "the upgrade changed /var/lib/kestrune"
say "upgrade: every file of /var/lib/kestrune kept byte for byte ($(grep -c '^[0-9a-f]\{64\} ' "$trial/home-after.txt") files)"
check_version /usr/bin/kestrune

serve_login_page "$trial/login-after.htm"
grep -q "changed on this site" "$trial/login-after.htm" ||
  fail "the upgraded server does not serve the administrator's template"
say "after the upgrade the server serves the administrator's own template"

say "purge"
dpkg --purge kestrune-console kestrune >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log" >&2; fail "dpkg --purge"; }
for path in /usr/bin/kestrune /usr/bin/kestrune-console /usr/share/kestrune /var/lib/kestrune \
  /lib/systemd/system/kestrune.service /etc/systemd/system/multi-user.target.wants/kestrune.service; do
  [ ! -e "$path" ] || fail "$path left after the purge"
done
say "all checks passed (packages in $work/current)"
