#!/usr/bin/env bash
# Starts what labgrid 0.4.1's remote mode needs on one machine: a WAMP router (fox-wamp
# 0.7.28 from the npm registry, patched for labgrid's autobahn peers) and labgrid's
# coordinator. Exporters and clients then connect to the URL it prints.
#
#   start.sh WORKDIR [PORT]      prints ws://127.0.0.1:PORT/ws once the coordinator is ready
#   stop.sh WORKDIR              ends both (by the pids in WORKDIR/pids)
#
# LABGRID_ROUTER_DIR names a folder that keeps the patched router between runs (default:
# WORKDIR/router, fetched afresh).
#
# Needs (Debian): nodejs, npm, python3-labgrid. Exit 3 when one is missing or the npm
# package cannot be fetched (a test should then skip and say why); 1 on any other failure.
set -u
here=$(cd "$(dirname "$0")" && pwd)
work=${1:?usage: start.sh WORKDIR [PORT]}
port=${2:-20408}
url=ws://127.0.0.1:$port/ws
mkdir -p "$work" || exit 1
work=$(cd "$work" && pwd)
command -v node >/dev/null && command -v npm >/dev/null || { echo "start.sh: node and npm are needed (apt-get install nodejs npm)" >&2; exit 3; }
/usr/bin/python3 -c 'import labgrid.remote.coordinator' 2>/dev/null || { echo "start.sh: python3-labgrid is needed" >&2; exit 3; }

router=${LABGRID_ROUTER_DIR:-$work/router}
if [ ! -f "$router/node_modules/fox-wamp/.patched" ]; then
    mkdir -p "$router" && cd "$router" || exit 1
    [ -f package.json ] || npm init -y >/dev/null 2>&1
    npm install --ignore-scripts --no-audit --no-fund fox-wamp@0.7.28 >npm.log 2>&1 ||
        { echo "start.sh: npm could not install fox-wamp 0.7.28 (see $router/npm.log)" >&2; exit 3; }
    patch -s -d node_modules/fox-wamp -p1 <"$here/fox-wamp-0.7.28-labgrid.patch" || exit 1
    touch node_modules/fox-wamp/.patched
fi
cp "$here/router.js" "$router/router.js"

listening() { ss -ltn 2>/dev/null | grep -q "127.0.0.1:$port "; }
listening && { echo "start.sh: something already listens on 127.0.0.1:$port" >&2; exit 1; }
: >"$work/pids"
(cd "$router" && exec node router.js "$port" >"$work/router.log" 2>&1) &
echo $! >>"$work/pids"
for _ in $(seq 100); do listening && break; sleep 0.1; done
listening || { echo "start.sh: the router did not start (see $work/router.log)" >&2; "$here/stop.sh" "$work"; exit 1; }

mkdir -p "$work/coordinator"
(cd "$work/coordinator" && WS=$url exec /usr/bin/python3 -u -m labgrid.remote.coordinator >"$work/coordinator.log" 2>&1) &
echo $! >>"$work/pids"
for _ in $(seq 150); do grep -q 'Coordinator ready' "$work/coordinator.log" 2>/dev/null && break; sleep 0.1; done
grep -q 'Coordinator ready' "$work/coordinator.log" ||
    { echo "start.sh: the coordinator did not start (see $work/coordinator.log)" >&2; "$here/stop.sh" "$work"; exit 1; }
echo "$url"
