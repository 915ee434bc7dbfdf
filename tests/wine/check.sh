#!/usr/bin/env bash
# Runs the Windows programs under Wine, in a Wine prefix of its own, for what they do before
# a port is opened: usage text, settings file (CR LF lines), name checks, exit codes.
# No test here reaches a COM port: Wine would map it to a device of this machine.
#
#   tests/wine/check.sh BIN_DIR      (BIN_DIR holds tavram.exe and tavfla.exe)
set -uo pipefail

bin=$(cd "${1:?BIN_DIR}" && pwd)
wine=$(command -v wine64 || command -v wine || ls /usr/lib/wine/wine64 2>/dev/null)
if [ -z "$wine" ]; then
    echo "wine: not installed, Windows programs not run"
    exit 0
fi

work=$(mktemp -d /tmp/tavwine.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
wineserver=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")
trap '"$wineserver" -k >/dev/null 2>&1; rm -rf "$work"' EXIT
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

echo "wine: $passed passed, $failed failed"
[ "$failed" = 0 ]
