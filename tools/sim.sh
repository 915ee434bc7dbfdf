# Starting and stopping the simulated board from a script. Source this file, then:
#   sim_start BIN_DIR SOCKET [TAVSIM OPTIONS...]  start tavsim in the background on SOCKET and
#                                                wait for its listening line (in sim.out)
#   sim_start_with BIN_DIR TAVSIM ARGS...        the same with any transport (--pty LINK ...)
#   sim_stop                                     end it and reap it; harmless when none runs
# Only one board at a time: sim_start ends the one before.

sim_pid=""

# Ends the process and reaps it.
reap() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

sim_stop() {
    if [ -n "$sim_pid" ]; then
        reap "$sim_pid"
        sim_pid=""
    fi
}

sim_start() {
    local bin=$1 socket=$2
    shift 2
    sim_start_with "$bin" --socket "$socket" "$@"
}

sim_start_with() {
    local bin=$1
    shift
    sim_stop
    "$bin/tavsim" "$@" >sim.out &
    sim_pid=$!
    for _ in $(seq 100); do
        grep -q listening sim.out 2>/dev/null && return 0
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "tavsim did not start" >&2
    exit 2
}
