#!/usr/bin/env bash
# Download performance against the simulated board, as Markdown tables:
#  1. line-speed pacing (each byte 10 bits in its own direction, full duplex), for tavram
#     and tavfla in Fast and Save mode, at 115200 and 38400 baud, with no USB adapter and
#     with an adapter latency timer of 1 ms and 16 ms: wire bytes, round trips, the
#     protocol's ceiling, the time the tool reports, the time measured, their ratio, and
#     from tavsim's pacing report how late it delivered and how soon the host answered;
#  2. an unpaced board (host-bound): throughput and the host's CPU time, send calls;
#  3. the cost of the trace: the host-bound RAM download with and without TAVLOADER_TRACE;
#  4. peak resident memory of tavram for growing programs;
#  5. with TRANSPORT=ser2net: ser2net's stock settings against the guide's (tavram and Fast
#     mode, best of two each, and the sync attempts the connection took), and four boards
#     behind one ser2net loading at once against each alone.
# NET_RTT_MS=N (make bench NET_RTT_MS=N) runs only a board N ms of round trip away: tools/
# netdelay holds every TCP chunk N/2 ms each way in front of the board's TCP port (tavsim's,
# or ser2net's with TRANSPORT=ser2net). Each mode's whole run against its floor: line time,
# plus the round trips of the download and the connection times N, plus the connection's
# fixed part (its time in the run without delay), next to the same run without delay.
#
#   tools/bench.sh [BUILD_DIR]
# BENCH_ONLY=trace runs only 3. (BENCH_TRACE_RUNS runs of each, default 7); BENCH_ONLY=ser2net
# only 5.
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
# BENCH_NET_WORDS (tavram and Fast mode at a distance, 2000), BENCH_NET_SAVE_WORDS (Save mode
# at a distance, 20), BENCH_SER2NET_WORDS (part 5, 8000).
set -euo pipefail

build=${1:-build}
words=${BENCH_WORDS:-20000}
latency_words=${BENCH_LATENCY_WORDS:-2000}
save_latency_words=${BENCH_SAVE_LATENCY_WORDS:-100}
host_words=${BENCH_HOST_WORDS:-100000}
rss_words=${BENCH_RSS_WORDS:-"1000 100000 1000000"}
latencies=${BENCH_LATENCIES:-"0 1000 16000"}
transport=${TRANSPORT:-socket}
[ "${BENCH_ONLY:-}" = ser2net ] && transport=ser2net
rtt_ms=${NET_RTT_MS:-}
net_words=${BENCH_NET_WORDS:-2000}
net_save_words=${BENCH_NET_SAVE_WORDS:-20}
ser2net_words=${BENCH_SER2NET_WORDS:-8000}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/$build/bin
work=$(mktemp -d /tmp/tavbench.XXXXXX)
# shellcheck source=tools/sim.sh
source "$root/tools/sim.sh"
server_pid=""
relay_pid=""
extra_pids=()  # boards beside the first one
server_stop() {
    local pid
    for pid in $relay_pid $server_pid "${extra_pids[@]}"; do
        reap "$pid"
    done
    relay_pid="" server_pid="" extra_pids=()
}
trap 'server_stop; sim_stop; rm -rf "$work"' EXIT

# ratio A B: A / B to three places.
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'
}

# The port after "127.0.0.1:" in a listening line of FILE, once it is there.
listening_port() {
    for _ in $(seq 100); do
        if grep -q '127.0.0.1:[0-9]' "$1" 2>/dev/null; then
            sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$1" | head -n 1
            return 0
        fi
        sleep 0.05
    done
    echo "no listening line in $1" >&2
    exit 2
}

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
    # Four ports of 127.0.0.1 in a row that nothing listens on, one per board.
    port=$((47000 + RANDOM % 1000))
    while grep -qE "^ *[0-9]*: [0-9A-F]*:($(printf '%04X|%04X|%04X|%04X' "$port" \
        $((port + 1)) $((port + 2)) $((port + 3)))) " /proc/net/tcp; do
        port=$((port + 4))
    done
    ln -sf "rfc2217://127.0.0.1:$port" COM1
    ;;
*)
    ln -sf board.sock COM1
    ;;
esac
name=BENCH  # the program name goes on the wire in the start-download packet
boards=1     # boards behind ser2net: board k > 0 on pty<k> with line state lines<k>
tuned=true   # ser2net with the guide's settings (tcp(nodelay), chardelay: false)

# One ser2net for the boards, board k on TCP port $port + k; returns once it listens.
ser2net_start() {
    local states="" k n listening tcp=tcp chardelay=""
    if [ "$tuned" = true ]; then
        tcp="tcp(nodelay)" chardelay="      chardelay: false"
    fi
    : >ser2net.yaml
    for ((k = 0; k < boards; k++)); do
        n=${k#0}
        printf '%s\n' "connection: &board$k" \
            "    accepter: telnet(rfc2217),$tcp,127.0.0.1,$((port + k))" \
            "    connector: serialdev,$work/pty$n,115200n81,local" \
            "    options:" "      kickolduser: true" ${chardelay:+"$chardelay"} >>ser2net.yaml
        states+="${states:+:}$work/lines$n"
    done
    env "LD_PRELOAD=$root/$build/lib/libptylines.so" "PTYLINES_STATE=$states" \
        "$ser2net" -n -u -c ser2net.yaml -P "$work/ser2net.pid" 2>ser2net.err &
    server_pid=$!
    for ((k = 0; k < boards; k++)); do
        listening=$(printf ':%04X 00000000:0000 0A' $((port + k)))
        for _ in $(seq 100); do
            grep -q "$listening" /proc/net/tcp && continue 2
            sleep 0.05
        done
        echo "ser2net did not start: $(cat ser2net.err)" >&2
        exit 2
    done
}

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
    local k
    for ((k = 1; k < boards; k++)); do
        "$bin/tavsim" --pty "$work/pty$k" --lines "$work/lines$k" --log "sim$k.log" "$@" \
            >"sim$k.out" &
        extra_pids+=($!)
        for _ in $(seq 100); do
            grep -q listening "sim$k.out" 2>/dev/null && break
            sleep 0.05
        done
    done
    if [ "$transport" = ser2net ]; then
        ser2net_start
    fi
}

# run BAUD TOOL... : one download; sets bytes (Bytes Loaded), tool_s (the tool's own
# figure, tenths of a second), wall_s (the whole run), connect_ms and attempts (the
# connection's time and sync pairs as -I prints them), measured_s (wall_s minus connect_ms,
# so process start and port opening are in it), user_s, sys_s, rss_kb.
run() {
    local baud=$1
    shift
    printf 'PORT=COM1\nBAUD=%s\nMODE=s\n' "$baud" >tavfla.SET
    printf 'PORT=COM1\nBAUD=%s\n' "$baud" >tavram.SET
    local start end
    start=$(date +%s%N)
    "${preload[@]}" /usr/bin/time -o time.out -f '%U %S %M' "./$1" "${@:2}" -I "$name" >run.out 2>run.err
    end=$(date +%s%N)
    bytes=$(sed -n 's/^\([0-9]*\)   .*Bytes Loaded/\1/p' run.out | tail -n 1)
    tool_s=$(sed -n 's/^Download Time = *\([0-9.]*\) Seconds/\1/p' run.out)
    connect_ms=$(sed -n 's/^Target Connected In *\([0-9]*\) Milliseconds.*/\1/p' run.out)
    attempts=$(sed -n 's/.* Milliseconds, \([0-9]*\) Attempt(s) Required/\1/p' run.out)
    wall_s=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    measured_s=$(awk -v w="$wall_s" -v c="$connect_ms" 'BEGIN { printf "%.3f", w - c / 1000 }')
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
    printf '| median | %s | %s | %s |\n' "$a" "$b" "$(ratio "$b" "$a")"
    printf '| fastest | %s | %s | %s |\n' "$a_min" "$b_min" "$(ratio "$b_min" "$a_min")"
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
                    "$measured_s" "$(ratio "$measured_s" "$limit")" "$(late_mean)" "$(answer_mean)"
            done
        done
    done
}

# ser2net's stock settings (Nagle on, character delay on) against the guide's, for tavram
# and Fast mode: the best of two downloads each, and the sync attempts of the stock runs
# (ser2net polls the lines: one attempt still).
ser2net_speed() {
    echo "## ser2net's stock settings against the guide's ($ser2net_words words, 115200 baud," \
        "best of two)"
    echo
    echo "| run | guide's settings s | stock settings s | ratio | attempts (stock) |"
    echo "|---|---|---|---|---|"
    program "$ser2net_words" >/dev/null
    local tool program kind option label setting best guide stock counts
    for tool in "tavram ram" "tavfla fast"; do
        read -r program kind <<<"$tool"
        option="" label=$program counts=""
        [ "$kind" = fast ] && option=-Mf && label="tavfla -Mf"
        for setting in true false; do
            tuned=$setting best=""
            for _ in 1 2; do
                start_sim --pacing
                run 115200 "$program" $option
                server_stop
                best=$(awk -v a="$best" -v b="$measured_s" 'BEGIN { print (a == "" || b < a) ? b : a }')
                [ "$setting" = false ] && counts+="${counts:+, }$attempts"
            done
            if [ "$setting" = true ]; then guide=$best; else stock=$best; fi
        done
        tuned=true
        printf '| %s | %s | %s | %s | %s |\n' "$label" "$guide" "$stock" "$(ratio "$stock" "$guide")" \
            "$counts"
    done
    sim_stop
    echo
}

# Four boards behind one ser2net (the guide's settings), paced: each download alone, then
# all four at once; the download time each tool prints.
four_boards() {
    local k pids
    boards=4
    program "$ser2net_words" >/dev/null
    for k in 0 1 2 3; do
        mkdir -p -m 700 "b$k"
        ln -sf "rfc2217://127.0.0.1:$((port + k))" "b$k/COM1"
        printf 'PORT=COM1\nBAUD=115200\n' >"b$k/tavram.SET"
    done
    start_sim --pacing
    # load K...: the boards at once; board k's download time as the tool prints it in
    # b<k>/seconds.
    load() {
        pids=()
        for k in "$@"; do
            TAVLOADER_DIR=b$k ./tavram "$name" </dev/null >"b$k/run.out" &
            pids+=($!)
        done
        wait "${pids[@]}"
        for k in "$@"; do
            sed -n 's/^Download Time = *\([0-9.]*\) Seconds/\1/p' "b$k/run.out" >"b$k/seconds"
        done
    }
    echo "## Four boards behind one ser2net ($ser2net_words words each, 115200 baud)"
    echo
    echo "| board | alone s | all four at once s | ratio |"
    echo "|---|---|---|---|"
    local alone=()
    for k in 0 1 2 3; do
        load "$k"
        alone+=("$(cat "b$k/seconds")")
    done
    load 0 1 2 3
    for k in 0 1 2 3; do
        printf '| %s | %s | %s | %s |\n' "$k" "${alone[k]}" "$(cat "b$k/seconds")" \
            "$(ratio "$(cat "b$k/seconds")" "${alone[k]}")"
    done
    server_stop
    sim_stop
    boards=1
    echo
}

if [ "${BENCH_ONLY:-}" = ser2net ]; then
    ser2net_speed
    four_boards
    exit 0
fi

# The board behind tools/netdelay, which holds each TCP chunk half of `delay_ms` each way;
# COM1 names the relay.
start_far() {
    local delay_ms=$1 target
    if [ "$transport" = ser2net ]; then
        start_sim --pacing
        target=$port
    else
        start_sim --pacing --tcp 0
        target=$(listening_port sim.out)
    fi
    "$bin/netdelay" --to "127.0.0.1:$target" --one-way-ms $((delay_ms / 2)) >relay.out &
    relay_pid=$!
    ln -sf "rfc2217://127.0.0.1:$(listening_port relay.out)" COM1
}

# Round trips of the connection besides the download's: the Telnet agreement, the purges at
# the open and at the first rate, CTS after the reset, the answer to the sync pair.
connect_round_trips=5

# Each mode's run at a round trip of rtt_ms against its floor, next to the same run with no
# delay: the floor is the line time and the round trips as ceiling() gives them, plus the
# connection's round trips, each rtt_ms, plus the connection's fixed part (its time in the
# run with no delay). Measured is the tool's own span from opening the port to its exit (its
# trace's clock), so that what process start and end cost a busy machine stays out; the
# whole run is beside it.
far_table() {
    echo "## A board at a round trip of $rtt_ms ms (tavram and Fast mode $net_words words, Save" \
        "mode $net_save_words; 115200 baud, paced)"
    echo
    echo "| run | round trip ms | round trips | floor s | measured s | ratio | whole run s |" \
        "connection ms | attempts |"
    echo "|---|---|---|---|---|---|---|---|---|"
    local tool program kind w option label r fixed_ms floor span_s
    for tool in "tavram ram" "tavfla fast" "tavfla save"; do
        read -r program kind <<<"$tool"
        w=$net_words option="" label=$program
        [ "$kind" = fast ] && option=-Mf && label="tavfla -Mf"
        [ "$kind" = save ] && option=-Ms && label="tavfla -Ms" && w=$net_save_words
        program "$w" >/dev/null
        for r in 0 "$rtt_ms"; do
            start_far "$r"
            rm -f far.trace
            TAVLOADER_TRACE=$work/far.trace run 115200 "$program" $option
            server_stop
            sim_stop
            span_s=$(awk '$3 == "open" { a = $1 } $3 == "exit" { b = $1 }
                END { printf "%.3f", (b - a) / 1e6 }' far.trace)
            read -r _ rounds limit <<<"$(ceiling "$kind" "$bytes" "$w" 115200 0)"
            [ "$r" = 0 ] && fixed_ms=$connect_ms
            rounds=$((rounds + connect_round_trips))
            floor=$(awk -v l="$limit" -v n="$rounds" -v r="$r" -v c="$fixed_ms" \
                'BEGIN { printf "%.3f", l + n * r / 1000 + c / 1000 }')
            printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$label" "$r" "$rounds" \
                "$floor" "$span_s" "$(ratio "$span_s" "$floor")" "$wall_s" "$connect_ms" "$attempts"
        done
    done
    echo
}

if [ -n "$rtt_ms" ]; then
    echo "Transport: $transport, behind tools/netdelay"
    echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
    echo
    far_table
    exit 0
fi

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

if [ "$transport" = ser2net ]; then
    ser2net_speed
    four_boards
fi

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
