#!/usr/bin/env bash
# Download performance against the simulated board, as Markdown tables:
#  1. line-speed pacing (each byte 10 bits in its own direction, full duplex), for tavram
#     and tavfla in Fast and Save mode, at 115200 and 38400 baud, with no USB adapter and
#     with an adapter latency timer of 1 ms and 16 ms: wire bytes, round trips, the
#     protocol's ceiling, the time the tool reports, the time measured, their ratio, and
#     from tavsim's pacing report how late it delivered and how soon the host answered;
#  2. an unpaced board (host-bound): throughput and the host's CPU time, send calls;
#  3. the cost of the trace: the host-bound RAM download with and without TAVLOADER_TRACE;
#  4. peak resident memory of tavram for growing programs.
#
#   tools/bench.sh [BUILD_DIR]
# BENCH_ONLY=trace runs only 3. (BENCH_TRACE_RUNS runs of each, default 7).
# Word counts (environment): BENCH_WORDS (paced runs, default 20000), BENCH_LATENCY_WORDS
# (tavram and Fast mode with an adapter, 2000), BENCH_SAVE_LATENCY_WORDS (Save mode with an
# adapter: one round trip per byte, 100), BENCH_HOST_WORDS (unpaced, 100000; Save mode a
# tenth), BENCH_RSS_WORDS (default "1000 100000 1000000").
# Times are wall-clock times: other work on the machine shows in them (compare a few runs).
# TRANSPORT=pty puts the board on a pty (the loaders' termios path, with libptylines.so
# preloaded into them) instead of the RFC 2217 socket. TRANSPORT=ser2net puts it on a pty
# behind ser2net with the README's settings for speed (tcp(nodelay), chardelay: false; the
# pty's lines from libptylines.so preloaded into ser2net), reached at rfc2217://127.0.0.1:PORT.
# BENCH_LATENCIES: the adapter latencies of the paced runs in us (default "0 1000 16000").
set -euo pipefail

build=${1:-build}
words=${BENCH_WORDS:-20000}
latency_words=${BENCH_LATENCY_WORDS:-2000}
save_latency_words=${BENCH_SAVE_LATENCY_WORDS:-100}
host_words=${BENCH_HOST_WORDS:-100000}
rss_words=${BENCH_RSS_WORDS:-"1000 100000 1000000"}
latencies=${BENCH_LATENCIES:-"0 1000 16000"}
transport=${TRANSPORT:-socket}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/$build/bin
work=$(mktemp -d /tmp/tavbench.XXXXXX)
# shellcheck source=tools/sim.sh
source "$root/tools/sim.sh"
server_pid=""
server_stop() {
    if [ -n "$server_pid" ]; then
        reap "$server_pid"
        server_pid=""
    fi
}
trap 'server_stop; sim_stop; rm -rf "$work"' EXIT

cp "$bin/tavram" "$bin/tavfla" "$work/"
cd "$work"
preload=()
lines=(env "LD_PRELOAD=$root/$build/lib/libptylines.so" "PTYLINES_STATE=$work/lines")
case $transport in
pty)
    ln -sf "$work/pty" COM1
    preload=("${lines[@]}")
    ;;
ser2net)
    ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
    [ -x "$ser2net" ] || { echo "TRANSPORT=ser2net: ser2net is not installed" >&2; exit 2; }
    # A port of 127.0.0.1 that nothing listens on.
    port=$((47000 + RANDOM % 1000))
    while grep -q "^ *[0-9]*: [0-9A-F]*:$(printf %04X "$port") " /proc/net/tcp; do
        port=$((port + 1))
    done
    printf '%s\n' "connection: &board" \
        "    accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,$port" \
        "    connector: serialdev,$work/pty,115200n81,local" \
        "    options:" "      kickolduser: true" "      chardelay: false" >ser2net.yaml
    ln -sf "rfc2217://127.0.0.1:$port" COM1
    ;;
*)
    ln -sf board.sock COM1
    ;;
esac
name=BENCH  # the program name goes on the wire in the start-download packet

# Lane files of N random words, 32 to a record.
program() {
    rm -f "$name".X?
    "$bin/lanegen" --random "$1" --seed 1 --address 10000 "$name"
}

# A fresh board with an empty flash, logging to sim.log (behind a fresh ser2net, which maps
# the board's line state once).
start_sim() {
    rm -rf flash sim.log && mkdir flash
    server_stop
    if [ "$transport" = socket ]; then
        sim_start "$bin" board.sock --flash-dir flash --log sim.log "$@"
        return
    fi
    sim_start_with "$bin" --pty "$work/pty" --lines "$work/lines" --flash-dir flash \
        --log sim.log "$@"
    if [ "$transport" = ser2net ]; then
        "${lines[@]}" "$ser2net" -n -u -c ser2net.yaml -P "$work/ser2net.pid" 2>ser2net.err &
        server_pid=$!
        local listening
        listening=$(printf ':%04X 00000000:0000 0A' "$port")
        for _ in $(seq 100); do
            grep -q "$listening" /proc/net/tcp && return 0
            sleep 0.05
        done
        echo "ser2net did not start: $(cat ser2net.err)" >&2
        exit 2
    fi
}

# run BAUD TOOL... : one download; sets bytes (Bytes Loaded), tool_s (the tool's own
# figure, tenths of a second), measured_s (the whole run minus the connection time the tool
# prints with -I, so process start and port opening are in it), user_s, sys_s, rss_kb.
run() {
    local baud=$1
    shift
    printf 'PORT=COM1\nBAUD=%s\nMODE=s\n' "$baud" >tavfla.SET
    printf 'PORT=COM1\nBAUD=%s\n' "$baud" >tavram.SET
    local start end
    start=$(date +%s%N)
    "${preload[@]}" /usr/bin/time -o time.out -f '%U %S %M' "./$1" "${@:2}" -I "$name" >run.out
    end=$(date +%s%N)
    bytes=$(sed -n 's/^\([0-9]*\)   .*Bytes Loaded/\1/p' run.out | tail -n 1)
    tool_s=$(sed -n 's/^Download Time = *\([0-9.]*\) Seconds/\1/p' run.out)
    local connect_ms
    connect_ms=$(sed -n 's/^Target Connected In *\([0-9]*\) Milliseconds.*/\1/p' run.out)
    measured_s=$(awk -v a="$start" -v b="$end" -v c="$connect_ms" \
        'BEGIN { printf "%.3f", (b - a) / 1e9 - c / 1000 }')
    read -r user_s sys_s rss_kb <time.out
}

# The cost of the trace (TAVLOADER_TRACE): the host-bound RAM download, untraced and traced
# in turns, BENCH_TRACE_RUNS times each; the median and the fastest of each, and their ratios
# (the fastest run is the one least disturbed by other work on the machine).
trace_cost() {
    local runs=${BENCH_TRACE_RUNS:-7} plain=() traced=()
    program "$host_words" >/dev/null
    for _ in $(seq "$runs"); do
        start_sim
        run 115200 tavram
        plain+=("$measured_s")
        start_sim
        TAVLOADER_TRACE=$work/trace.txt run 115200 tavram
        traced+=("$measured_s")
    done
    sim_stop
    local stats='{ v[NR] = $1 } END { printf "%s %s\n", v[int((NR + 1) / 2)], v[1] }'
    local a a_min b b_min
    read -r a a_min < <(printf '%s\n' "${plain[@]}" | sort -n | awk "$stats")
    read -r b b_min < <(printf '%s\n' "${traced[@]}" | sort -n | awk "$stats")
    echo "## Trace cost: host-bound tavram, $host_words words, $runs runs each"
    echo
    echo "| | untraced s | traced s | ratio |"
    echo "|---|---|---|---|"
    printf '| median | %s | %s | %s |\n' "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", b / a }')"
    printf '| fastest | %s | %s | %s |\n' "$a_min" "$b_min" \
        "$(awk -v a="$a_min" -v b="$b_min" 'BEGIN { printf "%.3f", b / a }')"
    echo
    echo "Runs: untraced ${plain[*]}; traced ${traced[*]}. The trace: $(wc -l <"$work/trace.txt")" \
        "lines, $(wc -c <"$work/trace.txt") bytes."
    echo
}

# BENCH_ONLY=trace: only the trace's cost.
if [ "${BENCH_ONLY:-}" = trace ]; then
    trace_cost
    exit 0
fi

# The protocol's ceiling: the time the exchanges take on an ideal full-duplex line with a
# host that answers at once. Each exchange (round trip) is the host's bytes, sent back to
# back, and the board's bytes it then waits for: echoes run one byte behind the host's
# bytes, the answer bytes follow the last one; with an adapter, the board's bytes reach the
# host in packets (62 bytes, or the latency after the first waiting). From the record
# structure: lanegen writes 32 words to a record, the last record the rest, so the P data
# packets carry Bytes Loaded - 4 = 7P + 4W bytes. Prints "wire_bytes round_trips seconds".
ceiling() {
    local kind=$1 bytes=$2 w=$3 baud=$4 latency_us=$5
    awk -v kind="$kind" -v B="$bytes" -v W="$w" -v baud="$baud" -v L="$latency_us" \
        -v k="${#name}" '
    # One exchange: n host bytes, echoed or not, then `answers` more board bytes.
    function exchange(n, echoed, answers,    key, count, i, r, first, due, start, t) {
        key = n SUBSEP echoed SUBSEP answers
        if (key in memo) return memo[key]
        count = 0
        for (i = 1; echoed && i <= n; i++) r[++count] = (i + 1) * b
        for (i = 1; i <= answers; i++) r[++count] = (n + i + (echoed ? 1 : 0)) * b
        t = r[count]
        if (L > 0) {
            for (start = 1; start <= count; start = i) {
                due = r[start] + L
                if (start + 61 <= count && r[start + 61] < due) due = r[start + 61]
                for (i = start; i <= count && i < start + 62 && r[i] <= due; i++) {}
                t = due
            }
        }
        memo[key] = t
        return t
    }
    # `count` such exchanges, one round trip each.
    function x(count, n, echoed, answers) {
        rounds += count
        return count * exchange(n, echoed, answers)
    }
    BEGIN {
        b = 1e7 / baud                      # one byte: 10 bits, in microseconds
        P = (B - 4 - 4 * W) / 7             # data packets
        full = P - 1; last = 7 + 4 * (W - 32 * full)
        if (kind == "ram") {
            # Each data packet, then the 4-byte start packet, one answer byte each; the
            # closing 0x05 is not waited on.
            t = x(full, 135, 0, 1) + x(1, last, 0, 1) + x(1, 4, 0, 1)
            host = B + 1; board = P + 1
        } else {
            # Start-download (k + 9 bytes), load-start-address (4) and the commands 0x03
            # and 0x04 go byte by byte with their echoes; a packet ends with its checksum
            # and result (0x03: checksum and status); 0x0C is not waited on.
            S = k + 9
            t = x(S - 1, 1, 1, 0) + x(1, 1, 1, 2) + x(3, 1, 1, 0) + x(1, 1, 1, 2)
            t += x(2, 1, 1, 2)
            if (kind == "fast") {
                t += x(full, 135, 1, 2) + x(1, last, 1, 2)
            } else {
                # Save mode: every byte of a data packet waits for its echo.
                t += x(full * 134 + last - 1, 1, 1, 0) + x(P, 1, 1, 2)
            }
            host = S + (B - 4) + 4 + 3
            board = S + (B - 4) + 4 + 2 + 2 * (P + 2) + 4
        }
        printf "%d %d %.3f\n", host + board, rounds, t / 1e6
    }'
}

# From the tavsim log's pacing report: how late bytes reached the host (mean), and how
# soon the host sent its next byte after one reached it (mean).
late_mean() {
    sed -n 's/.*pacing: bytes to the host, late by: [0-9]*, mean \([0-9.]*\) us.*/\1/p' sim.log |
        tail -n 1
}
answer_mean() {
    sed -n 's/.*pacing: host answers after a delivery, in: [0-9]*, mean \([0-9.]*\) us.*/\1/p' \
        sim.log | tail -n 1
}

paced_table() {
    local latencies=$1
    echo "| run | baud | adapter | words | wire bytes | round trips | ceiling s | tool s |" \
        "measured s | ratio | board late us | host answer us |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
    for latency in $latencies; do
        for baud in 115200 38400; do
            for tool in "tavram ram" "tavfla fast" "tavfla save"; do
                read -r program kind <<<"$tool"
                local w=$words option="" label=$program
                [ "$kind" = fast ] && option=-Mf && label="tavfla -Mf"
                [ "$kind" = save ] && option=-Ms && label="tavfla -Ms"
                if [ "$latency" -gt 0 ]; then
                    w=$latency_words
                    [ "$kind" = save ] && w=$save_latency_words
                fi
                program "$w" >/dev/null
                start_sim --baud "$baud" --pacing --pacing-report --latency-us "$latency"
                run "$baud" "$program" $option
                sim_stop
                read -r wire rounds limit <<<"$(ceiling "$kind" "$bytes" "$w" "$baud" "$latency")"
                local adapter=none
                [ "$latency" -gt 0 ] && adapter="$((latency / 1000)) ms"
                printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' \
                    "$label" "$baud" "$adapter" "$w" "$wire" "$rounds" "$limit" "$tool_s" \
                    "$measured_s" "$(awk -v m="$measured_s" -v c="$limit" \
                    'BEGIN { printf "%.3f", m / c }')" "$(late_mean)" "$(answer_mean)"
            done
        done
    done
}

# Other work on the machine shows in the times: say how busy it was.
echo "Transport: $transport"
echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
echo
echo "## Paced at line speed ($words words; with an adapter $latency_words words," \
    "Save mode $save_latency_words)"
echo
paced_table "$latencies"
echo

echo "## Host-bound: unpaced board"
echo
echo "| run | words | bytes | seconds | KB/s | user s | system s | send calls per packet |"
echo "|---|---|---|---|---|---|---|---|"
for tool in "tavram ram" "tavfla fast" "tavfla save"; do
    read -r program kind <<<"$tool"
    w=$host_words option="" label=$program
    [ "$kind" = fast ] && option=-Mf && label="tavfla -Mf"
    [ "$kind" = save ] && option=-Ms && label="tavfla -Ms" && w=$((host_words / 10))
    program "$w" >/dev/null
    start_sim
    run 115200 "$program" $option
    sim_stop
    sends="-"
    # Send calls are the network path's measure; a tty takes one write per byte anyway.
    if [ "$kind" = ram ] && [ "$transport" != pty ] && command -v strace >/dev/null; then
        packets=$(((bytes - 4 - 4 * w) / 7 + 1))
        start_sim
        strace -c -o calls.txt "./$program" "$name" >/dev/null
        sim_stop
        sends=$(awk -v p="$packets" '$NF ~ /^(sendto|sendmsg|send)$/ {
            n += $4 } END { printf "%.2f", n / p }' calls.txt)
    fi
    printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$label" "$w" "$bytes" "$measured_s" \
        "$(awk -v b="$bytes" -v s="$measured_s" 'BEGIN { printf "%.0f", b / s / 1000 }')" \
        "$user_s" "$sys_s" "$sends"
done
echo

trace_cost

echo "## Peak resident memory of tavram (unpaced board)"
echo
echo "| words | bytes | max resident KB |"
echo "|---|---|---|"
for w in $rss_words; do
    program "$w" >/dev/null
    start_sim
    run 115200 tavram
    sim_stop
    printf '| %s | %s | %s |\n' "$w" "$bytes" "$rss_kb"
done
