#!/usr/bin/env bash
# System calls of the network serial path: a RAM download of WORDS random words against an
# unpaced tavsim, once plain (time and throughput as tavram reports them) and once under
# strace -c (send, receive and wait calls, in all and per packet).
#
#   tools/netcalls.sh [BUILD_DIR] [WORDS]     (defaults: build, 100000 words)
set -euo pipefail

build=${1:-build}
words=${2:-100000}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/$build/bin
command -v strace >/dev/null || { echo "strace is needed" >&2; exit 2; }
work=$(mktemp -d /tmp/tavcalls.XXXXXX)
sim_pid=""

stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
}
trap 'stop_sim; rm -rf "$work"' EXIT

cp "$bin/tavram" "$work/"
cd "$work"
"$bin/lanegen" --random "$words" --seed 1 --address 10000 BENCH
packets=$(wc -l <BENCH.X0)
printf 'PORT=COM1\nBAUD=115200\n' >tavram.SET
ln -sf board.sock COM1

start_sim() {
    stop_sim
    "$bin/tavsim" --socket board.sock --log /dev/null >sim.out &
    sim_pid=$!
    for _ in $(seq 100); do
        grep -q listening sim.out 2>/dev/null && return
        sleep 0.05
    done
    echo "tavsim did not start" >&2
    exit 2
}

start_sim
TIMEFORMAT='%R %U %S'
times=$( { time ./tavram BENCH >plain.out; } 2>&1 )
read -r wall user sys <<<"$times"
bytes=$(sed -n 's/^\([0-9]*\)   .*Bytes Loaded/\1/p' plain.out | tail -n 1)
seconds=$(sed -n 's/^Download Time = *\([0-9.]*\) Seconds/\1/p' plain.out)
echo "$words words, $packets packets, $bytes bytes: tavram reports ${seconds} s;" \
    "whole run ${wall} s ($(awk -v b="$bytes" -v s="$wall" 'BEGIN { printf "%.0f", b / s / 1000 }')" \
    "KB/s), CPU user ${user} s, system ${sys} s"

start_sim
strace -c -o calls.txt ./tavram BENCH >traced.out
printf '%-12s %10s %10s %12s\n' "call" "calls" "errors" "per packet"
awk -v p="$packets" '
    $NF ~ /^(sendto|sendmsg|send|write|recvfrom|recvmsg|recv|read|poll|ppoll)$/ {
        errors = (NF == 6) ? $5 : 0
        printf "%-12s %10d %10d %12.2f\n", $NF, $4, errors, $4 / p
    }' calls.txt
