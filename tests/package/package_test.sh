#!/usr/bin/env bash
# A built ved96 package as a user gets it: unpacked into a scratch root, its
# vedhost tells its version, accepts the shipped /etc/ved96/example.json
# (check-config) and polls its own ved96-sim over loopback TCP for one round
# with the plug-in it finds beside itself. An armhf package's
# programs are checked to be 32-bit ARM and run under qemu-arm (binfmt_misc,
# QEMU_LD_PREFIX naming the target's libraries).
# Usage: package_test.sh PACKAGE.deb
set -u

DEB=${1:?usage: $0 PACKAGE.deb}
ROOT=$(mktemp -d)
SIM_PID=
cleanup() {
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    rm -rf "$ROOT"
}
trap cleanup EXIT

FAILS=0
fail() { echo "FAIL: $*" >&2; FAILS=$((FAILS + 1)); }
ok() { echo "ok: $*"; }
check() { local what=$1; shift; if "$@"; then ok "$what"; else fail "$what"; fi; }

ARCH=$(dpkg-deb -f "$DEB" Architecture)
VERSION=$(dpkg-deb -f "$DEB" Version)
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
echo "$(basename "$DEB"): $ARCH $VERSION, $(stat -c %s "$DEB") bytes; Depends: $DEPENDS"
dpkg-deb -x "$DEB" "$ROOT"

MULTIARCH=$(case "$ARCH" in armhf) echo arm-linux-gnueabihf ;; *) dpkg-architecture -a "$ARCH" -qDEB_HOST_MULTIARCH 2>/dev/null ;; esac)
HOST=$ROOT/usr/bin/vedhost
SIM=$ROOT/usr/bin/ved96-sim
PLUGIN=$ROOT/usr/lib/$MULTIARCH/ved96/ved96.so
for f in "$HOST" "$SIM" "$PLUGIN" "$ROOT/usr/lib/$MULTIARCH/ved96/libsmdhost.so" \
         "$ROOT/lib/systemd/system/vedhost@.service" "$ROOT/usr/share/doc/ved96/README.md" \
         "$ROOT/usr/share/doc/ved96/signals.md" \
         "$ROOT/usr/share/doc/ved96/examples/vedhost.json" "$ROOT/etc/ved96/example.json"; do
    check "holds ${f#"$ROOT"}" test -f "$f"
done
# Every library a program links comes from a package dependency found by
# dpkg-shlibdeps, not from a hand-written list.
for dep in libc6 libstdc++6 libjsoncpp25 libmodbus5 libsqlite3-0 libyaml-cpp0.7 libsystemd0 adduser; do
    check "depends on $dep" grep -q "\b$dep\b" <<<"$DEPENDS"
done

# The unit as systemd reads it: no warning from systemd-analyze verify (run
# against the unpacked root, with the machine's own targets and slices beside
# it), and sandboxed to an exposure of at most 2.0 (threshold 20 in tenths).
UNITS=$ROOT/lib/systemd/system
cp -n /lib/systemd/system/*.target /lib/systemd/system/*.slice "$UNITS/" 2>/dev/null
VERIFY=$(systemd-analyze verify --root="$ROOT" vedhost@package-test.service 2>&1)
check "systemd-analyze verify vedhost@.service${VERIFY:+: $VERIFY}" test $? -eq 0 -a -z "$VERIFY"
EXPOSURE=$(systemd-analyze security --offline=true --root="$ROOT" vedhost@package-test.service 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
systemd-analyze security --offline=true --root="$ROOT" --threshold=20 \
    vedhost@package-test.service >/dev/null 2>&1
check "vedhost@.service exposure ${EXPOSURE:-unknown} is at most 2.0" test $? -eq 0 -a -n "$EXPOSURE"
for setting in Type=notify WatchdogSec= NotifyAccess=main; do
    check "vedhost@.service has $setting" grep -q "^$setting" "$UNITS/vedhost@.service"
done

if [ "$ARCH" = armhf ]; then
    for f in "$HOST" "$SIM" "$PLUGIN"; do
        check "${f#"$ROOT"} is 32-bit ARM" grep -q "ELF 32-bit LSB .*ARM, EABI5" <<<"$(file -b "$f")"
    done
fi
EXPORTS=$(readelf --dyn-syms -W "$PLUGIN" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $4 != "SECTION" && $8 != "" {print $8}' | sort -u)
check "ved96.so exports only get_providers (got: $(echo $EXPORTS))" test "$EXPORTS" = get_providers
check "vedhost --version" test "$("$HOST" --version)" = "vedhost $VERSION"
check "ved96-sim --version" test "$("$SIM" --version)" = "ved96-sim $VERSION"

# The shipped configuration is a conffile, and a valid one: check-config reads
# it (opening no line) and shows its broker.
check "example.json is a conffile" grep -qx /etc/ved96/example.json <<<"$(dpkg-deb -I "$DEB" conffiles)"
"$HOST" check-config "$ROOT/etc/ved96/example.json" >"$ROOT/check.out" 2>"$ROOT/check.err"
check "vedhost check-config accepts the shipped example (exit $?)" test $? -eq 0
check "check-config shows the example's broker" grep -q '"host": "localhost"' "$ROOT/check.out"
[ "$FAILS" -eq 0 ] || cat "$ROOT/check.err"

# One round: the simulator picks a free port and tells it.
"$SIM" --tcp 127.0.0.1:0 >"$ROOT/sim.out" 2>&1 &
SIM_PID=$!
WHERE=
for _ in $(seq 300); do
    WHERE=$(sed -n 's/^tcp //p' "$ROOT/sim.out")
    [ -n "$WHERE" ] && break
    sleep 0.1
done
if [ -z "$WHERE" ]; then
    fail "ved96-sim did not start: $(cat "$ROOT/sim.out")"
else
    timeout 120 "$HOST" --tcp "$WHERE" --rounds 1 --report "$ROOT/report.jsonl" \
        >"$ROOT/host.out" 2>"$ROOT/host.err"
    check "vedhost polls one round (exit $?)" test $? -eq 0
    # The report line as vedhost writes it: non-ASCII keys escaped, A相电压 a number.
    check "the round's report reaches --report" \
        grep -q '"report":{.*"A\\u76f8\\u7535\\u538b":[0-9]' "$ROOT/report.jsonl"
    check "the plug-in found beside vedhost printed its lines" grep -q "rvSize is 0" "$ROOT/host.out"
    [ "$FAILS" -eq 0 ] || { cat "$ROOT/host.err"; head -5 "$ROOT/host.out"; }
fi

if [ "$FAILS" -ne 0 ]; then
    echo "$(basename "$DEB"): $FAILS checks failed" >&2
    exit 1
fi
echo "$(basename "$DEB"): all checks passed"
