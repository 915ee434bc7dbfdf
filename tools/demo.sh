#!/usr/bin/env bash
# A real download against the simulated board: tavram loads examples/BLINK into RAM, tavfla
# stores it in flash in Save and Fast mode; the program the board holds in RAM is compared
# with the one it stored in flash. Everything runs in a temporary folder; nothing outside
# it is touched.
set -euo pipefail

build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/$build/bin
work=$(mktemp -d /tmp/tavdemo.XXXXXX)
# shellcheck source=tools/sim.sh
source "$root/tools/sim.sh"
trap 'sim_stop; rm -rf "$work"' EXIT

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# The loaders keep their settings file and the COM1 entry beside the executable.
cp "$bin/tavram" "$bin/tavfla" "$work/"
cp -p "$root"/examples/BLINK.X? "$work/"
mkdir "$work/flash"
cd "$work"

say "Starting the simulated board: 38400 baud, line-speed pacing"
sim_start "$bin" board.sock --baud 38400 --pacing --flash-dir flash --ram-image ram.txt \
    --log board.log
cat sim.out
ln -s board.sock COM1
echo "COM1 -> board.sock"

say "tavram BLINK -I   (the settings say 115200; the board answers at 38400)"
./tavram BLINK -I
echo
echo "tavram.SET now holds:"
cat tavram.SET

say "tavfla BLINK -Ms   (Save mode: the host waits for every echo)"
./tavfla BLINK -Ms

# The board's own files: the RAM image and the stored program hold "entry AAAAAA" and
# "AAAAAA WWWWWWWW" lines in address order.
board_words() { grep -E '^(entry [0-9A-F]+|[0-9A-F]+ [0-9A-F]+)$' "$1"; }

say "What the board holds in RAM, against what it stored in flash"
head -n 1 ram.txt
echo "$(($(wc -l <ram.txt) - 1)) words in RAM; the first ones:"
sed -n '2,4p' ram.txt
blink_hex=$(printf %s BLINK | od -An -tx1 -v | tr -d ' \n' | tr a-f A-F)
stored=$(grep -l "^name $blink_hex\$" flash/* || true)
if [ -n "$stored" ] && diff -q <(board_words ram.txt) <(board_words "$stored") >/dev/null; then
    echo "RAM matches the program stored in flash word for word, entry address included."
else
    echo "RAM DIFFERS from the program stored in flash"
    exit 2
fi

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
