#!/usr/bin/env bash
# A real download against the simulated board: tavram loads examples/BLINK into RAM, tavfla
# stores it in flash in Save and Fast mode; then the board's memory is compared with the
# lane files. Everything runs in a temporary folder; nothing outside it is touched.
set -euo pipefail

build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/$build/bin
work=$(mktemp -d /tmp/tavdemo.XXXXXX)
sim_pid=""

cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# The loaders keep their settings file and the COM1 entry beside the executable.
cp "$bin/tavram" "$bin/tavfla" "$work/"
cp -p "$root"/examples/BLINK.X? "$work/"
mkdir "$work/flash"
cd "$work"

say "Starting the simulated board: 38400 baud, line-speed pacing"
"$bin/tavsim" --socket board.sock --baud 38400 --pacing --flash-dir flash \
    --ram-image ram.txt --log board.log >sim.out &
sim_pid=$!
for _ in $(seq 100); do
    grep -q "listening" sim.out 2>/dev/null && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "tavsim did not start"; exit 2; }
    sleep 0.05
done
cat sim.out
ln -s board.sock COM1
echo "COM1 -> board.sock"

say "tavram BLINK -I   (the settings say 115200; the board answers at 38400)"
./tavram BLINK -I
echo
echo "tavram.SET now holds:"
cat tavram.SET

# The words the lane files describe, as "AAAAAA WWWWWWWW" lines (lane 3 most significant).
lane_words() {
    local -a lanes
    exec 3<BLINK.X0 4<BLINK.X1 5<BLINK.X2 6<BLINK.X3
    while IFS= read -r l0 <&3 && IFS= read -r l1 <&4 && IFS= read -r l2 <&5 &&
        IFS= read -r l3 <&6; do
        lanes=("${l0%$'\r'}" "${l1%$'\r'}" "${l2%$'\r'}" "${l3%$'\r'}")
        local type=${lanes[0]:3:1} address=$((16#${lanes[0]:7:8}))
        if [ "$type" = 8 ]; then
            printf 'entry %06X\n' $((address & 0xFFFFFF)) >lane_entry.txt
            break
        fi
        local count=$(((16#${lanes[0]:1:2} - 14) / 2))
        for ((i = 0; i < count; i++)); do
            local at=$((15 + 2 * i))
            printf '%06X %s%s%s%s\n' $(((address + i) & 0xFFFFFF)) "${lanes[3]:at:2}" \
                "${lanes[2]:at:2}" "${lanes[1]:at:2}" "${lanes[0]:at:2}"
        done
    done | sort
    exec 3<&- 4<&- 5<&- 6<&-
}

say "What the board holds in RAM"
lane_words >lane_words.txt
head -n 1 ram.txt
echo "$(($(wc -l <ram.txt) - 1)) words in RAM; the first ones:"
sed -n '2,4p' ram.txt
if diff -qi <(tail -n +2 ram.txt) lane_words.txt >/dev/null &&
    diff -qi <(head -n 1 ram.txt) lane_entry.txt >/dev/null; then
    echo "RAM matches the lane files word for word, entry address included."
else
    echo "RAM DIFFERS from the lane files"
    exit 2
fi

say "tavfla BLINK -Ms   (Save mode: the host waits for every echo)"
./tavfla BLINK -Ms

say "tavfla BLINK -Mf   (the same name again: the board refuses it)"
set +e
./tavfla BLINK -Mf
code=$?
set -e
echo "exit code $code"

say "tavfla BLINKF -Mf   (Fast mode, under another name)"
for k in 0 1 2 3; do cp "BLINK.X$k" "BLINKF.X$k"; done
touch -r BLINK.X0 BLINKF.X0
./tavfla BLINKF -Mf
echo
echo "tavfla.SET now holds:"
cat tavfla.SET

say "Programs in the simulated flash"
for file in flash/*; do
    name=$(sed -n 's/^name //p' "$file" | sed 's/../\\x&/g')
    printf '%-8b stamp %s, entry %s, %d words\n' "$name" "$(sed -n 's/^stamp //p' "$file")" \
        "$(sed -n 's/^entry //p' "$file")" "$(grep -c '^[0-9A-Fa-f]* [0-9A-Fa-f]*$' "$file")"
done

say "The board's log (last lines)"
tail -n 8 board.log
