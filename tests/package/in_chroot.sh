#!/usr/bin/env bash
# install_chroot.sh's part inside the clean system: /debs/1 holds the
# packages, /debs/2 the same rebuilt at the next revision.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
readonly unit=qivma-gateway.service
readonly wants=/etc/systemd/system/multi-user.target.wants/$unit
readonly state=/var/lib/systemd/deb-systemd-helper-enabled
calls=/var/log/systemctl.calls

fail() {
    echo "$*" >&2
    exit 1
}
apt_quiet() {
    apt-get -y -q "$@" >/tmp/apt.log 2>&1 || { cat /tmp/apt.log >&2; fail "apt-get $* failed"; }
}
calls_since() { tail -n +"$(($1 + 1))" "$calls" 2>/dev/null || true; }
call_count() { wc -l <"$calls" 2>/dev/null || echo 0; }

apt_quiet update
# The folder of enable links exists on any system with systemd.
mkdir -p "$(dirname "$wants")"
# What is there before: after the purge, nothing more may be. deb-systemd-helper's
# state is looked at by name below: its folders stay, as on any system.
snapshot() {
    find / -xdev \( -path /proc -o -path /dev -o -path /run -o -path /tmp -o -path /debs \
        -o -path /var/cache -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/log \
        -o -path /var/lib/systemd -o -path /etc/ld.so.cache -o -path /root \) -prune -o -print |
        sort
}
snapshot >/tmp/before

# --- install: apt finds every dependency --------------------------------------
: >"$calls"
apt_quiet install /debs/1/*.deb
for package in libqivma7 libqivma-dev qivma qivma-gateway; do
    [ "$(dpkg-query -W -f='${Version}' $package)" = 7.0.0-1 ] || fail "$package is not installed"
done
ldconfig -p | grep -q 'libqivma.so.7 ' || fail "the ldconfig trigger did not run: libqivma.so.7 is not in the cache"
[ ! -e "$wants" ] || fail "the package enabled $unit"
grep -v daemon-reload "$calls" && fail "the first install started or stopped something"
[ -n "$(find "$state" -name "*qivma*")" ] || fail "deb-systemd-helper keeps no state of $unit"
[ "$(stat -c %a /etc/qivma/mqtt-password)" = 600 ] || fail "the MQTT password file is not root's alone"

# --- each program once ----------------------------------------------------------
cd /
qivma --version
qivma --sim read 01D00000 >/dev/null || fail "qivma --sim read failed"
fpsim --help >/dev/null
qivma-gateway --check --config /etc/qivma/gateway.yaml >/dev/null
qivma-gateway --sim --port 0 2>/tmp/gateway.log &
gateway=$!
for _ in $(seq 100); do
    grep -q 'tags on scan' /tmp/gateway.log && break
    kill -0 $gateway 2>/dev/null || break
    sleep 0.1
done
grep -q 'tags on scan' /tmp/gateway.log || { cat /tmp/gateway.log >&2; fail "qivma-gateway --sim did not start"; }
kill -TERM $gateway
wait $gateway || fail "qivma-gateway did not stop cleanly on SIGTERM"

# --- a program of someone else's, built against the installed library -------------
cat >/tmp/host.c <<'EOF'
#include <stdio.h>
#include <qivma.h>

int main(void) {
    DriverInfo info = {0};
    DriverRequest request = {0};
    request.command = QIV_CMD_GET_DRIVER_INFO;
    request.params = &info;
    if (QivMain(&request) != QIV_STATUS_OK || info.version != 70)
        return 1;
    printf("%s driver, version %d\n", info.driverName, info.version);
    return 0;
}
EOF
# shellcheck disable=SC2046
gcc -Wall -Werror -o /tmp/host /tmp/host.c $(pkg-config --cflags --libs qivma)
/tmp/host
pkg-config --cflags --libs qivma | grep -q '\.\.' && fail "pkg-config gives a relative path: $(pkg-config --cflags --libs qivma)"
dpkg-query --control-show libqivma7 shlibs | grep -q '^libqivma 7 libqivma7' ||
    fail "libqivma7 declares no shlibs"

# --- the administrator's part: the site's configuration, the service enabled and running
echo "# the site's" >>/etc/qivma/gateway.yaml
echo 'secret' >/etc/qivma/mqtt-password
ln -s /lib/systemd/system/$unit "$wants"  # as systemctl enable makes it
touch /run/active/$unit

# --- upgrade: the running service restarted, the site's files kept --------------------
mark=$(call_count)
apt_quiet install /debs/2/*.deb
[ "$(dpkg-query -W -f='${Version}' qivma-gateway)" = 7.0.0-2 ] || fail "the upgrade did not install 7.0.0-2"
calls_since "$mark" | grep -qx "try-restart $unit" ||
    fail "the upgrade did not restart the running service; systemctl calls: $(calls_since "$mark")"
calls_since "$mark" | grep -q "stop $unit" && fail "the upgrade stopped the service"
grep -q "the site's" /etc/qivma/gateway.yaml || fail "the upgrade replaced the site's configuration"
grep -q secret /etc/qivma/mqtt-password || fail "the upgrade replaced the MQTT password"
[ -L "$wants" ] || fail "the upgrade removed the enable link"

# --- remove: the service stopped before its program goes -------------------------------
mark=$(call_count)
apt_quiet remove libqivma7 libqivma-dev qivma qivma-gateway
calls_since "$mark" | grep -qx "stop $unit" ||
    fail "remove did not stop the service; systemctl calls: $(calls_since "$mark")"
[ ! -e /run/active/$unit ] || fail "the service runs on after remove"
[ ! -e /usr/bin/qivma-gateway ] || fail "remove left the program"
[ -e /etc/qivma/gateway.yaml ] || fail "remove took the configuration, which only purge takes"

# --- purge: the enable link, deb-systemd-helper's state and the configuration go ----------
# apt knows packages from files no more once they are removed: dpkg purges
# what remove left (a package without conffiles left nothing).
dpkg --purge libqivma7 libqivma-dev qivma qivma-gateway >/tmp/dpkg.log 2>&1 ||
    { cat /tmp/dpkg.log >&2; fail "dpkg --purge failed"; }
apt_quiet autoremove --purge
[ ! -L "$wants" ] || fail "purge left the enable link $wants"
[ -z "$(find "$state" -name "*qivma*")" ] ||
    fail "purge left deb-systemd-helper's state: $(find "$state" -name "*qivma*")"
ldconfig -p | grep -q libqivma && fail "libqivma is still in the ldconfig cache"
snapshot >/tmp/after
left=$(comm -13 /tmp/before /tmp/after)
[ -z "$left" ] || fail "purge left behind: $left"
echo "install, programs, a C host, upgrade with restart, remove with stop, purge: nothing left behind"
