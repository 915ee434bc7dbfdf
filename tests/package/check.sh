#!/usr/bin/env bash
# Checks the packages as a user gets them:
# - the Windows zip: TAVRAM.EXE and TAVFLA.EXE needing only KERNEL32 and msvcrt, README.TXT
#   with CR LF line ends, the example lane files;
# - the .deb: unpacked into a temporary root whose bin folder the user cannot write, its
#   tavram and tavfla run real downloads against its tavsim with HOME in a temporary folder;
#   settings and the COM1 entry must live in HOME/.config/tavloader, nothing beside the
#   programs; a download on tavsim's pty board with the package's libptylines.so; the labgrid
#   driver importable as a module. Run by root, the programs run as "nobody" (root may write anywhere).
#
#   tests/package/check.sh DEB [ZIP]     (no ZIP: only the .deb is tried)
set -euo pipefail

deb=$(realpath "${1:?DEB}")
zip=${2:+$(realpath "$2")}
work=$(mktemp -d /tmp/tavpkg.XXXXXX)
sim_pid=""

cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    chmod -R u+w "$work" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap "exit 2" INT TERM HUP

fail() {
    echo "package check FAILED: $*" >&2
    exit 2
}

# Waits (bounded) until the tavsim started as $sim_pid says in file $1 that it listens.
await_listening() {
    for _ in $(seq 200); do
        grep -q "listening" "$1" 2>/dev/null && return
        kill -0 "$sim_pid" 2>/dev/null || fail "$2 did not start"
        sleep 0.05
    done
    fail "$2 did not start listening"
}

# --- Windows zip -------------------------------------------------------------------------
check_zip() {
    mkdir "$work/zip"
    unzip -q "$zip" -d "$work/zip"
    top=$(find "$work/zip" -name TAVRAM.EXE -printf '%h\n' | head -n 1)
    [ -n "$top" ] || fail "no TAVRAM.EXE in $zip"
    for file in TAVFLA.EXE README.TXT examples/BLINK.X0 examples/BLINK.X3; do
        [ -f "$top/$file" ] || fail "$file missing in $zip"
    done
    lines=$(wc -l <"$top/README.TXT")
    [ "$lines" -gt 0 ] && [ "$(grep -c $'\r$' "$top/README.TXT")" = "$lines" ] ||
        fail "README.TXT does not have CR LF line ends"
    if command -v x86_64-w64-mingw32-objdump >/dev/null; then
        for exe in TAVRAM.EXE TAVFLA.EXE; do
            dlls=$(x86_64-w64-mingw32-objdump -p "$top/$exe" | sed -n 's/.*DLL Name: //p' | sort -u |
                tr '\n' ' ')
            [ "$dlls" = "KERNEL32.dll msvcrt.dll " ] || fail "$exe imports $dlls"
        done
    fi
    echo "zip: $(basename "$zip") ok"
}
if [ -n "$zip" ]; then
    check_zip
fi

# --- .deb ----------------------------------------------------------------------------------
root=$work/root
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin
doc=$root/usr/share/doc/tavloaders
ptylines=$root/usr/lib/tavloaders/libptylines.so
for file in "$bin/tavram" "$bin/tavfla" "$bin/tavsim" "$bin/lanegen" "$doc/README.md" \
    "$doc/examples/BLINK.X0" "$root/usr/share/man/man1/tavram.1.gz" "$ptylines" \
    "$root/usr/share/tavloaders/labgrid/tavloader.py" "$root/usr/lib/python3/dist-packages/tavloader.py"; do
    [ -e "$file" ] || fail "${file#"$root"} missing in the package"
done
chmod 0755 "$work"
chmod -R a-w "$root/usr"

run_as=()
if [ "$(id -u)" = 0 ]; then
    run_as=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups)
fi
user_dir() {
    mkdir -p "$@"
    [ ${#run_as[@]} -eq 0 ] || chown "$(id -u nobody):$(id -g nobody)" "$@"
}
home=$work/home
user_dir "$home" "$work/run" "$work/run/flash"
cp -p "$doc"/examples/BLINK.X? "$work/run/"

# in_run PROGRAM ARGS...: as the user, in the run folder, with the temporary HOME.
in_run() {
    (cd "$work/run" && exec env -u XDG_CONFIG_HOME HOME="$home" "${run_as[@]}" "$@")
}

# Started as a simple command (env and setpriv exec it), so that $! is tavsim itself and
# the clean-up stops it.
cd "$work/run"
env -u XDG_CONFIG_HOME HOME="$home" "${run_as[@]}" "$bin/tavsim" --socket "$work/run/board.sock" \
    --baud 38400 --flash-dir flash --ram-image ram.txt --log board.log >sim.out 2>&1 </dev/null &
sim_pid=$!
cd - >/dev/null
await_listening "$work/run/sim.out" tavsim

# The first run makes the configuration folder; the COM1 entry then goes there.
config=$home/.config/tavloader
in_run timeout 60 "$bin/tavram" -H </dev/null >/dev/null || fail "tavram -H"
[ -d "$config" ] || fail "tavram made no $config"
[ "$(stat -c %a "$config")" = 700 ] || fail "$config has mode $(stat -c %a "$config")"
in_run ln -s "$work/run/board.sock" "$config/COM1"

in_run timeout 120 "$bin/tavram" BLINK </dev/null >"$work/tavram.out" 2>&1 ||
    { cat "$work/tavram.out"; fail "tavram BLINK"; }
grep -q "BLINK Started At Address 001010(HEX)" "$work/tavram.out" || fail "tavram did not start"
grep -qx "entry 001010" "$work/run/ram.txt" || fail "the board's RAM holds no program"
grep -qx "BAUD=38400" "$config/tavram.SET" || fail "tavram.SET not in $config"

in_run timeout 120 "$bin/tavfla" BLINK -Mf </dev/null >"$work/tavfla.out" 2>&1 ||
    { cat "$work/tavfla.out"; fail "tavfla BLINK -Mf"; }
grep -qx "MODE=f" "$config/tavfla.SET" || fail "tavfla.SET not in $config"

leftovers=$(find "$bin" "$work/run" -name '*.SET' -o -name 'COM?' | tr '\n' ' ')
[ -z "$leftovers" ] || fail "settings or COM entries beside the programs: $leftovers"
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""

# The pty board with the package's libptylines.so preloaded into the loader, as tavsim(1) says.
cd "$work/run"
env -u XDG_CONFIG_HOME HOME="$home" "${run_as[@]}" "$bin/tavsim" --pty "$work/run/pty" \
    --ram-image pty-ram.txt --log pty.log >pty.out 2>&1 </dev/null &
sim_pid=$!
cd - >/dev/null
await_listening "$work/run/pty.out" "tavsim --pty"
in_run ln -sfn "$work/run/pty" "$config/COM1"
in_run env LD_PRELOAD="$ptylines" PTYLINES_STATE="$work/run/pty.lines" timeout 120 "$bin/tavram" BLINK \
    </dev/null >"$work/pty.out" 2>&1 || { cat "$work/pty.out"; fail "tavram BLINK on the pty board"; }
grep -qx "entry 001010" "$work/run/pty-ram.txt" || fail "the pty board's RAM holds no program"
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
# The labgrid driver as a module of the system's Python (where labgrid is installed).
if /usr/bin/python3 -c 'import labgrid' 2>/dev/null; then
    PYTHONPATH=$root/usr/lib/python3/dist-packages /usr/bin/python3 -c 'import tavloader' ||
        fail "the module tavloader cannot be imported"
fi
echo "deb: $(basename "$deb") ok (downloads from the installed programs, settings in" \
    "HOME/.config/tavloader; on the pty board with the installed libptylines.so)"
