#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Safe to run again: apt skips what is already there. Services that the packages
# would start on their own (Dovecot, nginx) are kept from starting; the tests start
# their own instances on free loopback ports.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache mold pkg-config git
  zlib1g-dev libssl-dev openssl libboost1.81-dev libtomlplusplus-dev libgumbo-dev libdeflate-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  media-types ca-certificates
  python3 python3-aiosmtpd
  dovecot-core dovecot-pop3d
  chromium fonts-dejavu-core nodejs
  wrk nginx-light
  libxapian-dev xapian-tools
  qt6-base-dev qt6-base-dev-tools libgl-dev xvfb xauth poppler-utils
  debhelper dpkg-dev fakeroot lintian systemd curl adwaita-icon-theme
)
# Debian's nodejs comes without npm; builds of nodejs that carry their own npm must not
# get Debian's as well.
command -v npm >/dev/null || packages+=(npm)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
# Keep package scripts from starting system services during the install.
policy=/usr/sbin/policy-rc.d
added_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  added_policy=1
fi
trap '[ "$added_policy" = 1 ] && $SUDO rm -f "$policy"' EXIT

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
