#!/usr/bin/env bash
# The main job: builds the driver, the command-line tool, the simulator and
# the gateway, then shows them at work.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset linux64 >/dev/null
cmake --build --preset linux64 --target qivma_tool fpsim_tool qivma_gateway >/dev/null
build/linux64/tools/qivma/qivma demo "$@"

# The gateway with its example configuration against the built-in simulator,
# read and written by mbpoll, a Modbus TCP client that we did not write.
echo
echo "=== qivma-gateway --sim, and mbpoll reading and writing through it"
log=$(mktemp)
build/linux64/tools/gateway/qivma-gateway --sim --port 0 2>"$log" &
gateway=$!
trap 'kill -TERM "$gateway" 2>/dev/null; wait "$gateway" 2>/dev/null; rm -f "$log"' EXIT
until grep -q 'tags on scan' "$log"; do
    kill -0 "$gateway" 2>/dev/null || { cat "$log"; exit 1; }
    sleep 0.1
done
cat "$log"
port=$(sed -n 's/.*Modbus TCP on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log")
mbpoll_run() { mbpoll -m tcp -p "$port" -0 -1 "$@" 2>&1 | sed -n '/^\[/p;/failed/p;/Written/p'; }
# Until the first scan is in, a register is not good yet and gets exception 0x0B.
until mbpoll -m tcp -p "$port" -a 1 -0 -1 127.0.0.1 >/dev/null 2>&1; do sleep 0.1; done
echo "$ mbpoll -m tcp -p $port -a 1 -0 -r 0 -c 10 -1 127.0.0.1"
mbpoll_run -a 1 -r 0 -c 10 127.0.0.1
echo "$ mbpoll -m tcp -p $port -a 1 -0 -r 0 -1 127.0.0.1 1234    (answered once the controller took it)"
mbpoll_run -a 1 -r 0 127.0.0.1 1234
mbpoll_run -a 1 -r 0 -c 3 127.0.0.1
echo "$ mbpoll ... -a 1 -r 30 (a register that no tag serves)"
mbpoll_run -a 1 -r 30 127.0.0.1
kill -TERM "$gateway"
wait "$gateway"
tail -2 "$log"
