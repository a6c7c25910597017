#!/bin/sh
# Configuration end to end, each case in a throw-away device root of its own
# (device-root.sh) with the real ip, route, busybox udhcpc and a dnsmasq peer.
here=$(cd "$(dirname "$0")" && pwd)
tree=$(dirname "$here")
if [ $# -gt 0 ] && [ -z "${DEVICE_ROOT:-}" ] && [ "$(id -u)" = 0 ]; then
    exec "$here/device-root.sh" /bin/sh "$here/system.sh" "$@"
fi
. "$here/cases.sh"

addresses() { ip -4 -o addr show dev eth0 | sed 's/.* inet \(.*\) scope.*/\1/' | xargs; }
flags() { echo $(($(cat /sys/class/net/eth0/flags) & 0x201)); }  # IFF_ALLMULTI and IFF_UP
default_routes() { ip route show default | xargs; }
up_with_address() { ip link set eth0 up && ip addr add 10.99.0.2/24 dev eth0; }
ok() { netlibctl "$@" || fail "netlibctl $* failed"; }
# Waits for a condition the DHCP client brings about in its own time.
eventually() {
    i=0
    until eval "$1"; do
        i=$((i + 1))
        [ $i -lt 600 ] || { fail "never: $1"; return; }
        sleep 0.1
    done
}
clients() {  # living udhcpc processes
    for p in /proc/[0-9]*; do
        [ "$(cat "$p/comm" 2>/dev/null)" = udhcpc ] && ! grep -q '^State:.*Z' "$p/status" && echo "${p#/proc/}"
    done
}

case_prepare() {
    ip link set eth0 mtu 1400
    ok prepare eth0
    expect "allmulti and up" 513 "$(flags)"
    expect mtu 1500 "$(cat /sys/class/net/eth0/mtu)"
    ok down eth0
    ok down eth0
    expect "allmulti after down" 512 "$(flags)"
}

case_addresses() {
    ip link set eth0 up
    ok addr eth0 10.99.0.2 --netmask 255.255.255.0
    ok addr eth0 10.99.0.2 --netmask 255.255.255.0  # already held: still a success
    ok addr eth0 10.99.0.3 --broadcast 10.99.0.3
    ip addr add 10.1.1.1/24 dev eth0 label eth0:1
    ok addr eth0 10.1.1.1 --netmask 255.255.255.0  # held under an alias label
    expect addresses "10.99.0.2/24 brd 10.99.0.255 10.99.0.3/32 brd 10.99.0.3 10.1.1.1/24" "$(addresses)"
    ok flush eth0
    expect "after flush" "" "$(addresses)"
}

case_routes() {
    up_with_address
    ok routes eth0 10.99.0.1
    ok routes eth0 10.99.0.1
    expect "one default route" "default via 10.99.0.1 dev eth0" "$(default_routes)"
    ok routes eth0 10.50.0.1  # not on the subnet: reached through a host route
    expect "through a host route" "default via 10.50.0.1 dev eth0" "$(default_routes)"
    expect "the host route" "10.50.0.1 dev eth0 scope link" "$(ip route show 10.50.0.1 | xargs)"
    ok routes eth0
    expect "without a gateway" "default dev eth0 scope link" "$(default_routes)"
    ok routes eth0 " "
    expect "blank gateway" "" "$(default_routes)"
}

case_resolver_file() {
    umask 077
    ok dns eth0 --nameserver 10.99.0.53 --nameserver " 10.0.0.2 " --search "lan example"
    expect content "search lan example
nameserver 10.99.0.53
nameserver  10.0.0.2 " "$(cat /etc/resolv.conf)"
    expect mode 644 "$(stat -c %a /etc/resolv.conf)"
    expect "temporary files" "" "$(ls /tmp | grep 'resolv\.conf\.')"
    mount -t tmpfs tmp /tmp  # a tmpfs of its own: the rename cannot take a file from there
    ok dns eth0 --nameserver 10.99.0.54
    expect "content, /tmp of its own" "nameserver 10.99.0.54" "$(cat /etc/resolv.conf)"
    expect "temporary files, /tmp of its own" "" "$(ls /tmp /etc | grep 'resolv\.conf\.')"
}

# Buildroot's layout: a read-only /etc whose resolv.conf links into a /run tmpfs.
case_resolver_link_into_run() {
    mount -t tmpfs run /run
    ln -s ../run/resolv.conf /etc/resolv.conf
    mount --bind /etc /etc && mount -o remount,bind,ro /etc
    for server in 10.99.0.53 10.99.0.54; do  # dangling at first, then replaced
        ok dns eth0 --nameserver $server
        expect content "nameserver $server" "$(cat /run/resolv.conf)"
    done
    expect link "../run/resolv.conf" "$(readlink /etc/resolv.conf)"
    expect mode 644 "$(stat -c %a /run/resolv.conf)"
    expect "temporary files" "" "$(ls /run /tmp | grep 'resolv\.conf\.')"
}

case_resolver_link_loop() {
    ln -s loop /etc/resolv.conf && ln -s resolv.conf /etc/loop
    netlibctl dns eth0 --nameserver 10.99.0.53 2>/tmp/err && fail "a link loop was followed"
    grep -q 'Failed to move DNS config from "/tmp/resolv.conf\..*": Too many levels of symbolic links' /tmp/err ||
        fail "message: $(cat /tmp/err)"
    rm /tmp/err
    expect links "loop resolv.conf" "$(readlink /etc/resolv.conf) $(readlink /etc/loop)"
    expect "temporary files" "" "$(ls /tmp | grep 'resolv\.conf\.')"
}

case_static_and_fallback() {
    ip link set eth0 up
    ok static eth0 --ip 10.99.0.7 --netmask 255.255.255.0 --gateway 10.99.0.1 --nameserver 10.99.0.53 --search lan
    expect address "10.99.0.7/24 brd 10.99.0.255" "$(addresses)"
    expect route "default via 10.99.0.1 dev eth0" "$(default_routes)"
    expect resolver "search lan nameserver 10.99.0.53" "$(xargs </etc/resolv.conf)"
    ok fallback eth0 --ip 10.99.0.8 --netmask 255.255.255.0
    expect "fallback address" "10.99.0.7/24 brd 10.99.0.255 10.99.0.8/24 brd 10.99.0.255" "$(addresses)"
}

case_dhcp_lease_through_the_hook() {
    for option in ip_forward conf/all/forwarding conf/all/arp_filter; do echo 0 >/proc/sys/net/ipv4/$option; done
    echo 2 >/proc/sys/net/ipv4/tcp_ecn
    ok init eth0 --config "$tree/examples/network-dhcp.json"
    expect options "1 1 1 0" "$(cat /proc/sys/net/ipv4/ip_forward /proc/sys/net/ipv4/conf/all/forwarding \
        /proc/sys/net/ipv4/conf/all/arp_filter /proc/sys/net/ipv4/tcp_ecn | xargs)"
    client=$(netlibctl --version | sed -n 's/^DHCP client: //p') hook=$(netlibctl --version | sed -n 's/^DHCP hook: //p')
    expect "command line" "$client --retries 9 -b -x hostname:netlib-device -i eth0 -S -s $hook" \
        "$(tr '\0' ' ' </proc/"$(clients)"/cmdline | xargs)"
    eventually 'addresses | grep -q "^10.99.0.1[0-5][0-9]/24 brd 10.99.0.255$"'
    eventually '[ "$(default_routes)" = "default via 10.99.0.1 dev eth0" ]'
    eventually 'grep -qx "nameserver 10.99.0.53" /etc/resolv.conf'
    ok init eth0 --config "$tree/examples/network-dhcp.json"
    expect "clients after a second init" 1 "$(clients | wc -l)"
}

case_init_static() {
    ok init eth0 --config "$tree/examples/network-static.json"
    expect address "10.20.30.40/24 brd 10.20.30.255" "$(addresses)"
    expect route "default via 10.20.30.1 dev eth0" "$(default_routes)"
    expect resolver "nameserver 10.20.30.53 nameserver 198.51.100.53" "$(xargs </etc/resolv.conf)"
}

# JSON booleans read as 1 and 0; a refused static address falls back.
case_init_fallback_with_booleans() {
    printf '%s' '{"dhcp": {"status": false}, "statik": {"ip": "10.99.0.300"},
        "dns": {"ns1": {"ip": "10.99.0.53", "status": true}, "ns2": {"ip": "10.0.0.9", "status": false}}}' >/tmp/c.json
    ok init eth0 --config /tmp/c.json
    expect address "192.168.1.20/24 brd 192.168.1.255" "$(addresses)"
    expect route "default dev eth0 scope link" "$(default_routes)"
    expect resolver "nameserver 10.99.0.53" "$(cat /etc/resolv.conf)"
}

run_cases "$@"
