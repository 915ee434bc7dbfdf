#!/usr/bin/env bash
# Runs the Windows programs under Wine, in a Wine prefix of its own: first what they do before
# a port is opened (usage text, settings file with CR LF lines, name checks, exit codes), then
# real downloads through COM1 to the simulated board on a pty, whose modem lines come from
# the preloaded test library libptylines.so.
#
#   tests/wine/check.sh BIN_DIR [BUILD_DIR]
#     BIN_DIR holds tavram.exe and tavfla.exe; BUILD_DIR (default: build) the Linux tavsim,
#     lanegen and lib/libptylines.so.
#
# Wine maps COM ports to this machine's /dev/ttyS* (one of them is the console). So Wine runs
# in a private mount namespace where every /dev/ttyS* is covered by /dev/null, where the
# machine allows one; the preloaded library refuses every open of them as the second guard.
set -uo pipefail

if [ -z "${TAV_WINE_PRIVATE:-}" ] && unshare -m --propagation private true 2>/dev/null; then
    TAV_WINE_PRIVATE=1 exec unshare -m --propagation private bash "$0" "$@"
fi
if [ -n "${TAV_WINE_PRIVATE:-}" ]; then
    for dev in /dev/ttyS*; do
        [ -e "$dev" ] && mount --bind /dev/null "$dev"
    done
else
    echo "wine: no private mount namespace here; only the preloaded library keeps /dev/ttyS* out"
fi

bin=$(cd "${1:?BIN_DIR}" && pwd)
build=$(cd "${2:-build}" 2>/dev/null && pwd)
wine=$(command -v wine64 || command -v wine || ls /usr/lib/wine/wine64 2>/dev/null)
if [ -z "$wine" ]; then
    echo "wine: not installed, Windows programs not run"
    exit 0
fi
library=${build:+$build/lib/libptylines.so}
if [ -z "$library" ] || [ ! -f "$library" ]; then
    echo "wine: $library not built; run make build first"
    exit 2
fi

work=$(mktemp -d /tmp/tavwine.XXXXXX)
# Every Wine process (wineserver included) gets the library and the board's line state.
export WINEPREFIX=$work/prefix WINEDEBUG=-all LD_PRELOAD=$library PTYLINES_STATE=$work/lines TZ=UTC
wineserver=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")
source "$(dirname "$0")/../../tools/sim.sh"
trap 'sim_stop; "$wineserver" -k >/dev/null 2>&1; rm -rf "$work"' EXIT
passed=0
failed=0

# run NAME EXPECTED_CODE EXPECTED_OUTPUT_FILE PROGRAM ARGS...: output compared without CRs.
run() {
    local name=$1 code=$2 expected=$3
    shift 3
    local out status
    out=$(cd "$work/run" && timeout 120 "$wine" "$@" 2>/dev/null | tr -d '\r'; exit "${PIPESTATUS[0]}")
    status=$?
    if [ "$status" = "$code" ] && [ "$out" = "$(printf '%b' "$expected")" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name (exit $status, expected $code)"
        diff <(printf '%b' "$expected") <(printf '%s' "$out") | head -n 20
    fi
}

# check NAME FILE EXPECTED_BYTES (printf %b escapes)
check_file() {
    local name=$1 file=$2 expected=$3
    if [ -f "$file" ] && cmp -s "$file" <(printf '%b' "$expected"); then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name: $file"
        [ -f "$file" ] && od -c "$file" | head -n 5
    fi
}

mkdir -p "$work/run" "$work/run/TAVRAM.OLD"
cp "$bin/tavram.exe" "$bin/tavfla.exe" "$work/run/"
cp "$bin/tavram.exe" "$work/run/TAVRAM.OLD/TAVRAM.EXE"

ram_banner='\nVeltara C3x DSP Family Speed RAM-Loader For WIN-NT/2000 V 3.0 (C) 2026 The Tavloader Developers\n\n'
fla_banner='\nVeltara C3x DSP Family Flash-Loader For WIN-NT/2000 V 3.0 (C) 2026 The Tavloader Developers\n\n'
ram_usage='Extended Tektronix Hex Object Format\n\nUsage: TAVRAM <Source> [-C<n>]\n\nSource  - Filename Without Extension\n         (Default Extension Is .X0...X3)\n-C<n>   - Desired COM Port (1..4, Default = 1)\n\nAutodetect Baudrate Is 38400 Or 115200 Baud\n\n'

run "tavram -H" 0 "${ram_banner}${ram_usage}Current Settings: PORT = COM1, BAUD = 115200" \
    ./tavram.exe -H
if [ ! -e "$work/run/tavram.SET" ]; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "FAILED: -H wrote a settings file"
fi

run "tavram -C3 with no lane files" 2 "${ram_banner}Using Port  : COM3\n\nCan't Open File PROG.X0" \
    ./tavram.exe -C3 prog
check_file "tavram settings saved in text mode" "$work/run/tavram.SET" 'PORT=COM3\r\nBAUD=115200\r\n'

printf 'PORT=COM3\r\nBAUD=38400\r\n' >"$work/run/tavram.SET"
run "tavram ? reads the settings" 0 "${ram_banner}${ram_usage}Current Settings: PORT = COM3, BAUD = 38400" \
    ./tavram.exe '?'

run "tavfla name with extension" 2 "${fla_banner}Using Port  : COM2\n\nFilename Extension Is Not Allowed" \
    ./tavfla.exe -c2 -mf prog.x0
check_file "tavfla settings with the mode" "$work/run/tavfla.SET" 'PORT=COM2\r\nBAUD=115200\r\nMODE=f\r\n'

run "tavfla -h shows the mode" 0 "${fla_banner}Extended Tektronix Hex Object Format\n\nUsage: TAVFLA <Source> [-C<n>] [-M<n>]\n\nSource  - Filename Without Extension\n         (Default Extension Is .X0...X3)\n-C<n>   - Desired COM Port (1..4, Default = 1)\n\n-M<n>   - Download Mode (s = Save, f = Fast; Default = s)\n\nParameters -C<n> And -M<n> Are Saved On Disk\n\nAutodetect Baudrate Is 38400 Or 115200 Baud\n\nCurrent Settings: PORT = COM2, BAUD = 115200, MODE = f" \
    ./tavfla.exe -h

# A folder named like the program must not take the settings file elsewhere.
run "settings beside the program in TAVRAM.OLD" 2 "${ram_banner}Using Port  : COM4\n\nCan't Open File X.X0" \
    'TAVRAM.OLD\TAVRAM.EXE' -C4 x
check_file "settings file in TAVRAM.OLD" "$work/run/TAVRAM.OLD/TAVRAM.SET" 'PORT=COM4\r\nBAUD=115200\r\n'

# ---- Downloads through COM1 on a pty ----

# The prefix is made once; then COM1 is pinned to the pty's link in Wine's port settings, and
# before every program all com* links go: Wine makes them again when it starts, COM1 from the
# setting (and the machine's ttyS* under later numbers, which the loaders never open).
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$work/pty" /f >/dev/null 2>&1
fresh_wine() {
    "$wineserver" -k >/dev/null 2>&1
    "$wineserver" -w
    rm -f "$WINEPREFIX"/dosdevices/com*
}

# board OPTIONS...: a fresh board on the pty; its log in $work/tavsim.log.
board() {
    rm -f "$work/tavsim.log"
    cd "$work" || exit 2
    sim_start_with "$build/bin" --pty "$work/pty" --lines "$work/lines" --log "$work/tavsim.log" "$@"
}

# A program of random words at 0x300 and what the board must hold of it afterwards.
head -c 4000 /dev/urandom >"$work/image.bin"
(cd "$work/run" && "$build/bin/lanegen" --address 300 "$work/image.bin" PROG) || exit 2
touch -d '2001-03-05 14:07:09 UTC' "$work/run/PROG.X0"
od -An -v -tx1 -w4 "$work/image.bin" |
    awk '{ printf "%06X %s%s%s%s\n", 768 + NR - 1, toupper($1), toupper($2), toupper($3), toupper($4) }' \
        >"$work/expected.txt"

# download NAME CODE PROGRAM ARGS...: runs a loader against the board; output in $work/out.txt.
download() {
    local name=$1 code=$2
    shift 2
    fresh_wine
    (cd "$work/run" && timeout 120 "$wine" "$@" 2>/dev/null | tr -d '\r' >"$work/out.txt"
     exit "${PIPESTATUS[0]}")
    local status=$?
    local time attempts
    time=$(grep -o 'Download Time = [0-9.]* Seconds' "$work/out.txt")
    attempts=$(grep -o '[0-9]* Attempt(s)' "$work/out.txt")
    echo "wine: $name: exit $status, $attempts, $time"
    [ "$status" = "$code" ] || { echo "FAILED: $name (exit $status, expected $code)"; tail -c 600 "$work/out.txt"; return 1; }
}

# expect NAME CONDITION...: one check, counted.
expect() {
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
    fi
}
has() { grep -qF -- "$1" "$work/out.txt"; }
same_words() { cmp -s <(grep -E '^[0-9A-F]{6} [0-9A-F]{8}$' "$1") "$work/expected.txt"; }

rm -f "$work/run/tavram.SET" "$work/run/tavfla.SET"
for rate in 38400 115200; do
    # The stored rate is the other one: two failed attempts, then the board's rate is saved.
    other=$((rate == 38400 ? 115200 : 38400))
    printf 'PORT=COM1\r\nBAUD=%d\r\n' "$other" >"$work/run/tavram.SET"
    rm -f "$work/ram.txt"
    board --once --baud "$rate" --ram-image "$work/ram.txt"
    download "tavram at $rate" 0 ./tavram.exe PROG -I
    expect "tavram at $rate: third attempt" has "3 Attempt(s) Required"
    expect "tavram at $rate: started" has "PROG Started At Address 000300(HEX)"
    check_file "tavram at $rate: rate saved" "$work/run/tavram.SET" "PORT=COM1\r\nBAUD=$rate\r\n"
    expect "tavram at $rate: RAM holds the program" same_words "$work/ram.txt"
done

# RTS handshaking on: Wine switches CRTSCTS on but leaves RTS low for the whole download (it
# expects the port driver to drive RTS, which a pty does not). The board's log shows the
# reset pulse, then flow control without RTS raised.
expect "wine leaves RTS low with handshaking" \
    awk '/line: hardware flow control on/ { on = 1 } on && /line: RTS on/ { bad = 1 }
         END { exit !(on && !bad) }' "$work/tavsim.log"

for mode in s f; do
    rm -rf "$work/flash"
    board --once --flash-dir "$work/flash"
    download "tavfla -M$mode" 0 ./tavfla.exe PROG -M$mode
    expect "tavfla -M$mode: started" has "PROG Started At Address 000300(HEX)"
    expect "tavfla -M$mode: date stamp" grep -qx 'stamp 5 3 1 14 7 9 1' "$work/flash/prog_50524F47.txt"
    expect "tavfla -M$mode: flash holds the program" same_words "$work/flash/prog_50524F47.txt"
done

board --once --ram-image "$work/ram.txt" --ram-bad-checksum 2
download "tavram wrong checksum" 2 ./tavram.exe PROG
expect "tavram wrong checksum: message" has "TARGET COMMUNICATION CHECKSUM ERROR"

# The same run traced (TAVLOADER_TRACE; the trace in text mode, CR LF lines), then run again
# against the board's side of its trace played back: the same output and exit code.
cp "$work/out.txt" "$work/untraced.txt"
board --once --ram-image "$work/ram.txt" --ram-bad-checksum 2
TAVLOADER_TRACE=trace.txt download "tavram traced" 2 ./tavram.exe PROG
expect "tavram traced: output unchanged" cmp -s "$work/out.txt" "$work/untraced.txt"
expect "tavram traced: header, sync and exit code" bash -c "tr -d '\r' <'$work/run/trace.txt' |
    grep -q '^ *[0-9]* # TAVRAM V 3.0; command line: ' && grep -q ' > 0F 0F' '$work/run/trace.txt' &&
    tr -d '\r' <'$work/run/trace.txt' | tail -n 1 | grep -q ' ! exit 2\$'"
board --once --replay "$work/run/trace.txt" --at-once
download "tavram replayed" 2 ./tavram.exe PROG
expect "tavram replayed: same output" cmp -s "$work/out.txt" "$work/untraced.txt"

# A second opener of COM1: Windows refuses it (the port is exclusive), but Wine does not: it
# opens the pty a second time. Expected here so that a change in Wine shows.
board --cts-never
fresh_wine
(cd "$work/run" && exec timeout 60 "$wine" ./tavram.exe PROG >"$work/first.txt" 2>/dev/null) &
first=$!
for _ in $(seq 600); do
    grep -q '\*' "$work/first.txt" 2>/dev/null && break
    sleep 0.1  # polling the first loader's output for its wait on CTS, bounded
done
expect "first loader waits for CTS" grep -q '\*' "$work/first.txt"
(cd "$work/run" && timeout 15 "$wine" ./tavram.exe PROG 2>/dev/null | tr -d '\r' >"$work/out.txt")
expect "wine lets a second loader open COM1" bash -c \
    "grep -q 'PROG.X3\$' '$work/out.txt' && grep -q '\*' '$work/out.txt' && ! grep -q 'Failed' '$work/out.txt'"
kill "$first" 2>/dev/null
wait "$first" 2>/dev/null
sim_stop

echo "wine: $passed passed, $failed failed"
[ "$failed" = 0 ]
