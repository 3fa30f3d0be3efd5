#!/usr/bin/env bash
# The main job: builds the driver, the command-line tool, the simulator and
# the gateway, then shows them at work.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
# Quiet while they work; what they said is shown when they fail (ninja
# prints a compiler's errors on its standard output).
build_log=$(mktemp)
if ! { cmake --preset linux64 && cmake --build --preset linux64 --target qivma_tool fpsim_tool \
    qivma_gateway; } >"$build_log" 2>&1; then
    cat "$build_log" >&2
    echo "demo: the build failed" >&2
    exit 1
fi
rm -f "$build_log"
build/linux64/tools/qivma/qivma demo "$@"

# The gateway with its example configuration against the built-in simulator,
# read and written by mbpoll, a Modbus TCP client that we did not write.
echo
echo "=== qivma-gateway --sim, and mbpoll reading and writing through it"
log=$(mktemp)
# Waits until the gateway's log says $1, and shows the log.
gateway_says() {
    until grep -q "$1" "$log"; do
        kill -0 "$gateway" 2>/dev/null || { cat "$log"; exit 1; }
        sleep 0.1
    done
    cat "$log"
}
build/linux64/tools/gateway/qivma-gateway --sim --port 0 2>"$log" &
gateway=$!
trap 'kill -TERM "$gateway" 2>/dev/null; wait "$gateway" 2>/dev/null; rm -f "$log"' EXIT
gateway_says 'tags on scan'
port=$(sed -n 's/.*Modbus TCP on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log")
mbpoll_run() { mbpoll -m tcp -p "$port" -0 -1 "$@" 2>&1 | sed -n '/^\[/p;/failed/p;/Written/p'; }
# Until the first scan is in, a register is not good yet and gets exception 0x0B.
until mbpoll -m tcp -p "$port" -a 1 -0 -1 127.0.0.1 >/dev/null 2>&1; do sleep 0.1; done
echo "$ mbpoll -m tcp -p $port -a 1 -0 -r 0 -c 10 -1 127.0.0.1"
mbpoll_run -a 1 -r 0 -c 10 127.0.0.1
echo "$ mbpoll -m tcp -p $port -a 1 -0 -r 0 -1 127.0.0.1 1234    (answered once the controller took it)"
mbpoll_run -a 1 -r 0 127.0.0.1 1234
mbpoll_run -a 1 -r 0 -c 3 127.0.0.1
echo "$ mbpoll ... -a 1 -t 3:float -r 0 -c 2    (temperature: two floats in D200-D203, input registers 0-3)"
mbpoll_run -a 1 -t 3:float -r 0 -c 2 127.0.0.1
echo "$ mbpoll ... -a 1 -r 30 (a register that no tag serves)"
mbpoll_run -a 1 -r 30 127.0.0.1 || true  # mbpoll exits 1 on the exception it shows
kill -TERM "$gateway"
wait "$gateway"
tail -2 "$log"

# The same with MQTT and the status page: the mosquitto broker on a loopback
# port, its clients subscribing and writing, and the page's JSON.
command -v mosquitto_sub >/dev/null && [ -x /usr/sbin/mosquitto ] || exit 0
echo
echo "=== qivma-gateway --sim with MQTT and the status page"
dir=$(mktemp -d)
broker_port=$((20000 + RANDOM % 20000))
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$broker_port" >"$dir/broker.conf"
/usr/sbin/mosquitto -c "$dir/broker.conf" 2>/dev/null &
broker=$!
{ cat tools/gateway/gateway.yaml; printf 'mqtt: {port: %s}\nhttp: {port: 0}\n' "$broker_port"; } >"$dir/gateway.yaml"
build/linux64/tools/gateway/qivma-gateway --sim --config "$dir/gateway.yaml" --port 0 2>"$log" &
gateway=$!
trap 'kill -TERM "$gateway" "$broker" 2>/dev/null; wait 2>/dev/null; rm -rf "$log" "$dir"' EXIT
gateway_says 'MQTT: connected'
http=$(sed -n 's|.*status page on \(http://[0-9.:]*/\).*|\1|p' "$log")
sub() { mosquitto_sub -p "$broker_port" "$@"; }
sleep 1  # the first scan
echo "$ mosquitto_sub -t 'qivma/+/+/status' -t qivma/line1/01/setpoint_0 -t qivma/line1/01/temperature_0 -v -C 4"
sub -t 'qivma/+/+/status' -t qivma/line1/01/setpoint_0 -t qivma/line1/01/temperature_0 -v -C 4
echo "$ mosquitto_pub -t qivma/line1/01/setpoint_0/set -m 1234    (the outcome once the controller answered)"
sub -t qivma/line1/01/setpoint_0/result -v -C 1 &
sleep 0.5
mosquitto_pub -p "$broker_port" -q 1 -t qivma/line1/01/setpoint_0/set -m 1234
wait $!
echo "$ mosquitto_sub -t 'homeassistant/number/qivma-gateway/line1_01_setpoint_0/config' -C 1"
sub -t homeassistant/number/qivma-gateway/line1_01_setpoint_0/config -C 1
echo "$ curl ${http}status.json    (the page itself: ${http})"
curl -s "${http}status.json" | cut -c1-400
echo
echo "$ curl ${http}metrics | grep station_state"
curl -s "${http}metrics" | grep '^qivma_gateway_station_state' | grep ' 1$'
