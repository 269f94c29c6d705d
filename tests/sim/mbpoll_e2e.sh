#!/usr/bin/env bash
# ved96-sim read and written by mbpoll, a third-party Modbus master, over
# loopback TCP and over the simulator's own pseudo-terminal pair.
# Usage: mbpoll_e2e.sh PATH/TO/ved96-sim
set -u

SIM=${1:?usage: $0 PATH/TO/ved96-sim}
command -v mbpoll >/dev/null || { echo "mbpoll is not installed: skipped"; exit 77; }

WORK=$(mktemp -d)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do
        kill -CONT "$pid" 2>/dev/null
        kill -TERM "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

FAILS=0
fail() { echo "FAIL: $*" >&2; FAILS=$((FAILS + 1)); }
ok() { echo "ok: $*"; }

BLOCKS="0:72 100:2 102:3 500:8 1400:120 1520:78 1600:120 1720:78 6000:8 6008:10"

# The image: every served register holds its own number times 37 plus 11, except
# the last, which holds 65535 to show values are served unsigned.
image_value() {
    if [ "$1" -eq 1797 ]; then echo 65535; else echo $((($1 * 37 + 11) % 65536)); fi
}
{
    sep="{"
    for block in $BLOCKS; do
        first=${block%:*} count=${block#*:}
        for ((r = first; r < first + count; r++)); do
            printf '%s"%d": %d' "$sep" "$r" "$(image_value "$r")"
            sep=", "
        done
    done
    echo "}"
} >"$WORK/image.json"

# Starts the simulator with the given options; sets SIM_PID and WHERE (the
# second word of the line it prints once it serves).
start_sim() {
    local out
    out=$(mktemp "$WORK/sim.XXXX")
    "$SIM" "$@" >"$out" 2>&1 &
    SIM_PID=$!
    PIDS+=("$SIM_PID")
    for _ in $(seq 100); do
        WHERE=$(awk 'NR == 1 && NF == 2 { print $2 }' "$out")
        [ -n "$WHERE" ] && return 0
        kill -0 "$SIM_PID" 2>/dev/null || break
        sleep 0.05
    done
    echo "simulator did not start: $(cat "$out")" >&2
    exit 1
}

stop_sim() {
    kill -TERM "$1"
    wait "$1"
    local rc=$?
    [ "$rc" -eq 0 ] || fail "simulator exited with $rc on SIGTERM"
}

# mb [mbpoll options] [values]: one exchange on the current link, 0-based
# register numbers. Prints "REG VALUE" lines, values unsigned (mbpoll adds the
# signed reading in brackets above 32767); mbpoll's error text goes to $WORK/err.
mb() {
    local target=$TARGET
    mbpoll "${LINK[@]}" -a 1 -0 -t 4 -1 -o 0.5 "$target" "$@" 2>"$WORK/err" |
        sed -n 's/^\[\([0-9]*\)\]:[[:space:]]*\([0-9]*\)\( (-[0-9]*)\)\{0,1\}[[:space:]]*$/\1 \2/p'
    return "${PIPESTATUS[0]}"
}

check_image_and_writes() {
    local name=$1
    for block in $BLOCKS; do
        first=${block%:*} count=${block#*:}
        expected=$(for ((r = first; r < first + count; r++)); do echo "$r $(image_value "$r")"; done)
        got=$(mb -r "$first" -c "$count")
        if [ "$got" == "$expected" ]; then ok "$name: block $first+$count"; else
            fail "$name: block $first+$count: $(diff <(echo "$expected") <(echo "$got") | head -5)"
        fi
    done
    mb -r 72 -c 1 >/dev/null
    grep -q "Illegal data address" "$WORK/err" && ok "$name: gap refused" ||
        fail "$name: read in a gap: $(cat "$WORK/err")"
    mb -r 0 -c 73 >/dev/null
    grep -q "Illegal data address" "$WORK/err" && ok "$name: read past a block refused" ||
        fail "$name: read past a block: $(cat "$WORK/err")"
    mb -r 6008 2 >/dev/null && [ "$(mb -r 6008)" == "6008 2" ] && ok "$name: 6008 written" ||
        fail "$name: write 6008 not read back: $(mb -r 6008) $(cat "$WORK/err")"
    mb -r 100 1 >/dev/null
    grep -q "Illegal data address" "$WORK/err" && [ "$(mb -r 100)" == "100 $(image_value 100)" ] &&
        ok "$name: write to 100 refused" || fail "$name: write to 100: $(cat "$WORK/err")"
}

# --- loopback TCP, fixed image -------------------------------------------------
start_sim --tcp 127.0.0.1:0 --image "$WORK/image.json"
LINK=(-m tcp -p "${WHERE##*:}")
TARGET=127.0.0.1
check_image_and_writes tcp
stop_sim "$SIM_PID"

# --- pseudo-terminal, fixed image ----------------------------------------------
start_sim --pty --image "$WORK/image.json"
PTY_PID=$SIM_PID
LINK=(-m rtu -b 9600 -P none)
TARGET=$WHERE
check_image_and_writes pty

# On a line shared with a unit that never answers, the request after one for
# that unit is still this meter's own.
mb -a 2 -r 0 >/dev/null && fail "pty: unit 2 answered"
[ "$(mb -r 100)" == "100 $(image_value 100)" ] && ok "pty: answers after a request for unit 2" ||
    fail "pty: no answer after a request for unit 2: $(cat "$WORK/err")"

# Stopped, the meter is silent; a write sent meanwhile is lost with its master,
# and after SIGCONT fresh requests get their own answers.
kill -STOP "$PTY_PID"
mb -r 6009 5 >/dev/null && fail "pty: stopped simulator answered"
kill -CONT "$PTY_PID"
sleep 0.2
got=$(mb -r 6008 -c 2)
[ "$got" == "$(printf '6008 2\n6009 %s' "$(image_value 6009)")" ] &&
    ok "pty: answers fresh requests after SIGCONT" ||
    fail "pty: after SIGCONT: '$got' $(cat "$WORK/err")"
stop_sim "$PTY_PID"

# --- faults, live values ---------------------------------------------------------
start_sim --tcp :0 --exception-at 6008 --drop-every 3
LINK=(-m tcp -p "${WHERE##*:}")
TARGET=127.0.0.1
volts=$(mb -r 0 -c 1)
[ "${volts#0 }" -gt 1900 ] 2>/dev/null && [ "${volts#0 }" -lt 2700 ] &&
    ok "live: phase A voltage ${volts#0 }" || fail "live: phase A voltage '$volts'"
mb -r 6008 >/dev/null
grep -q "Slave device or server failure" "$WORK/err" && ok "fault: exception at 6008" ||
    fail "fault: exception at 6008: $(cat "$WORK/err")"
mb -r 0 >/dev/null && fail "fault: third request answered" || ok "fault: third request dropped"
stop_sim "$SIM_PID"

# Paced at 9600 baud, 120 registers take about 0.29 s: request, gap, 245-byte reply.
start_sim --pty --pace --baud 9600
LINK=(-m rtu -b 9600 -P none)
TARGET=$WHERE
t0=$(date +%s%N)
mb -r 1400 -c 120 >/dev/null || fail "pace: read failed: $(cat "$WORK/err")"
ms=$((($(date +%s%N) - t0) / 1000000))
[ "$ms" -ge 280 ] && ok "pace: 120 registers in $ms ms" || fail "pace: reply after $ms ms"
stop_sim "$SIM_PID"

[ "$FAILS" -eq 0 ] || { echo "$FAILS checks failed" >&2; exit 1; }
echo "all checks passed"
