#!/usr/bin/env bash
# Which apt sources the armhf sysroot is made from: the machine's own, its
# update suites only while their armhf index can be had, and a sysroot made
# again when the package list changes. Offline: the repositories are local
# directories, the unreachable one a closed port on this machine.
set -uo pipefail
VED_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$VED_ROOT/scripts/deps"
source "$VED_ROOT/scripts/armhf"
set +e  # scripts/deps stops at the first failure; the checks below go on

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
}

# A local repository with an empty armhf index for SUITE; its Release states
# the index's size as SIZE (another size than the file's: a mirror mid-update).
repo() {  # repo DIR SUITE SIZE
  local dists=$1/dists/$2
  mkdir -p "$dists/main/binary-armhf"
  : >"$dists/main/binary-armhf/Packages"
  printf 'Suite: %s\nArchitectures: armhf\nComponents: main\nDate: %s\nSHA256:\n %s %s main/binary-armhf/Packages\n' \
    "$2" "$(date -uR)" "$(sha256sum <"$dists/main/binary-armhf/Packages" | cut -d' ' -f1)" "$3" \
    >"$dists/Release"
}
repo "$WORK/whole" bookworm-updates 0
repo "$WORK/syncing" bookworm-security 1234
UNREACHABLE=http://127.0.0.1:9/debian  # the discard port: connection refused at once

cat >"$WORK/debian.sources" <<SOURCES
# the machine's Debian archive
Types: deb
URIs: $UNREACHABLE
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: $UNREACHABLE
Suites: bookworm
Components: main

Types: deb
URIs: http://example.invalid/disabled
Suites: bookworm
Components: main
Enabled: no

Types: deb
URIs: https://deb.example.invalid/node
Suites: nodistro
Components: main
SOURCES
cat >"$WORK/local.list" <<LIST
deb [trusted=yes] file:$WORK/whole bookworm-updates main
deb [trusted=yes] file:$WORK/syncing   bookworm-security main   # caught mid-update
LIST

check "entries of deb822 and one-line files" \
  "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $UNREACHABLE bookworm main contrib
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $UNREACHABLE bookworm-updates main contrib
deb https://deb.example.invalid/node nodistro main
deb [trusted=yes] file:$WORK/whole bookworm-updates main
deb [trusted=yes] file:$WORK/syncing bookworm-security main" \
  "$(ved_apt_sources "$WORK/debian.sources" "$WORK/local.list")"

start=$SECONDS
picked=$(ved_armhf_pick_sources bookworm "$WORK/debian.sources" "$WORK/local.list" 2>"$WORK/said")
check "main suite kept, unreachable and mid-update suites left out, whole one kept" \
  "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $UNREACHABLE bookworm main contrib
deb [trusted=yes] file:$WORK/whole bookworm-updates main" "$picked"
check "one line for each suite left out" 2 "$(wc -l <"$WORK/said")"
check "the unreachable suite is named with its mirror" 1 \
  "$(grep -c "^armhf sysroot: leaving out bookworm-updates from $UNREACHABLE: its armhf index cannot be had (.*); building from bookworm without it$" "$WORK/said")"
check "the mid-update suite is named with apt's reason" 1 \
  "$(grep -c "^armhf sysroot: leaving out bookworm-security from file:$WORK/syncing: .*Packages.*building from bookworm without it$" "$WORK/said")"
check "no retries: picked within 20 s" 1 "$((SECONDS - start < 20))"

check "without an entry for the suite: the Debian archive" \
  "deb http://deb.debian.org/debian trixie main" \
  "$(ved_armhf_pick_sources trixie "$WORK/debian.sources" 2>/dev/null)"

# A sysroot made for one package list is not reused for another.
VED_SYSROOT=$WORK/sysroot
mkdir -p "$VED_SYSROOT"
VED_SYSROOT_PACKAGES=(libc6-dev libjsoncpp-dev)
echo "libc6-dev,libjsoncpp-dev" >"$VED_SYSROOT/.ved-packages"
ved_armhf_sysroot_current
check "same package list: reused" 0 $?
VED_SYSROOT_PACKAGES+=(libmicrohttpd-dev)
ved_armhf_sysroot_current
check "a package added: made again" 1 $?

[ "$failures" -eq 0 ] || { echo "said:"; cat "$WORK/said"; exit 1; }
