#!/usr/bin/env bash
# Download throughput against the simulated board with line-speed pacing (every byte takes
# 10 bits at the line rate), for tavram and for tavfla in Save and Fast mode, at both
# rates. Prints the download time each tool reports and the share of the line rate used.
#
#   tools/bench.sh [BUILD_DIR] [WORDS]     (defaults: build, 20000 words)
#   TRANSPORT=pty tools/bench.sh ...       the board on a pty (the loaders' termios path),
#                                          the loaders with libptylines.so preloaded
set -euo pipefail

build=${1:-build}
words=${2:-20000}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/$build/bin
work=$(mktemp -d /tmp/tavbench.XXXXXX)
# shellcheck source=tools/sim.sh
source "$root/tools/sim.sh"
trap 'sim_stop; rm -rf "$work"' EXIT

cp "$bin/tavram" "$bin/tavfla" "$work/"
cd "$work"
"$bin/lanegen" --random "$words" --seed 1 --address 10000 BENCH

# A fresh board with an empty flash for every run.
start_sim() {
    sim_stop
    rm -rf flash && mkdir flash
    if [ "${TRANSPORT:-}" = pty ]; then
        sim_start_with "$bin" --pty "$work/pty" --lines "$work/lines" --baud "$1" --pacing \
            --flash-dir flash --log /dev/null
    else
        sim_start "$bin" board.sock --baud "$1" --pacing --flash-dir flash --log /dev/null
    fi
}
preload=()
if [ "${TRANSPORT:-}" = pty ]; then
    ln -sf "$work/pty" COM1
    preload=(env "LD_PRELOAD=$root/$build/lib/libptylines.so" "PTYLINES_STATE=$work/lines")
else
    ln -sf board.sock COM1
fi

printf '%-22s %8s %10s %12s %10s\n' "run" "baud" "bytes" "seconds" "of line"
for baud in 115200 38400; do
    for run in "tavram" "tavfla -Mf" "tavfla -Ms"; do
        start_sim "$baud"
        printf 'PORT=COM1\nBAUD=%s\nMODE=s\n' "$baud" >tavfla.SET
        printf 'PORT=COM1\nBAUD=%s\n' "$baud" >tavram.SET
        out=$("${preload[@]}" ./$run BENCH)
        bytes=$(sed -n 's/^\([0-9]*\)   .*Bytes Loaded/\1/p' <<<"$out" | tail -n 1)
        seconds=$(sed -n 's/^Download Time = *\([0-9.]*\) Seconds/\1/p' <<<"$out")
        # Each byte goes to the board once and (flash) comes back as its echo: the line
        # carries it in 10 bits either way, so the bound is baud / 10 bytes per second.
        share=$(awk -v b="$bytes" -v s="$seconds" -v r="$baud" \
            'BEGIN { if (s > 0) printf "%.0f%%", 100 * b / (s * r / 10); else print "-" }')
        printf '%-22s %8s %10s %12s %10s\n' "$run" "$baud" "$bytes" "$seconds" "$share"
    done
done
