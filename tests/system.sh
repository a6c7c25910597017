#!/bin/sh
# The case_* functions are called by name (cases.sh); the single-quoted
# conditions are evaluated by eventually, their expansions there.
# shellcheck disable=SC2317,SC2016
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
default_routes() { ip route show default | sort | xargs; }
addresses6() { ip -6 -o addr show dev eth0 scope global | sed 's/.* inet6 \([^ ]*\).*/\1/' | xargs; }
default_routes6() { ip -6 route show default | sed 's/ proto [a-z]*\| pref [a-z]*\| expires [0-9]*sec//g' | xargs; }
v6_mode() { for f in accept_ra autoconf disable_ipv6; do cat "/proc/sys/net/ipv6/conf/eth0/$f"; done | xargs; }
up_with_address() { ip link set eth0 up && ip addr add 10.99.0.2/24 dev eth0; }
# ok ARG...: netlibctl ARG... succeeds and prints nothing on stderr; applies: its output on stdout.
applies() {
    netlibctl "$@" 2>/tmp/err || fail "netlibctl $* failed: $(cat /tmp/err)"
    [ ! -s /tmp/err ] || fail "netlibctl $* succeeded with: $(cat /tmp/err)"
}
ok() { applies "$@" >/dev/null; }
# fails TEXT ARG...: netlibctl ARG... fails with TEXT in its output, kept in /tmp/out.
fails() {
    text=$1
    shift
    netlibctl "$@" >/tmp/out 2>&1 && fail "netlibctl $* succeeded"
    grep -qF -- "$text" /tmp/out || fail "netlibctl $*: no [$text] in: $(cat /tmp/out)"
}
# Waits for a condition the DHCP client brings about in its own time.
eventually() {
    i=0
    until eval "$1"; do
        i=$((i + 1))
        [ "$i" -lt 600 ] || { fail "never: $1"; return; }
        sleep 0.1
    done
}
clients() {  # living udhcpc processes
    for p in /proc/[0-9]*; do
        [ "$(cat "$p/comm" 2>/dev/null)" = udhcpc ] && ! grep -q '^State:.*Z' "$p/status" 2>/dev/null && echo "${p#/proc/}"
    done
}

case_link() {
    ip link set eth0 mtu 1400
    ok prepare eth0
    expect "allmulti and up" 513 "$(flags)"
    expect mtu 1500 "$(cat /sys/class/net/eth0/mtu)"
    ok down eth0
    ok down eth0
    expect "allmulti after down" 512 "$(flags)"
    ok up eth0
    expect "up again" 513 "$(flags)"
}

case_addresses() {
    ip link set eth0 up
    ok addr eth0 10.99.0.2 --netmask 255.255.255.0
    ok addr eth0 10.99.0.2/24  # already held, as a DHCP renewal finds it: still a success
    ok addr eth0 10.99.0.2/24 --broadcast 10.99.0.255
    fails 'Failed to configure interface "eth0"' addr eth0 10.99.0.2/25  # held with another netmask
    fails 'Failed to configure interface "eth0"' addr eth0 10.99.0.2/24 --broadcast 10.99.0.128
    fails 'Failed to configure interface "eth0"' addr eth0 10.99.0.2/24 --broadcast not-an-address
    ok addr eth0 10.99.0.3 --broadcast 10.99.0.3
    fails 'Failed to configure interface "eth0"' addr eth0 10.99.0.4 --broadcast not-an-address
    fails 'IP address is invalid or empty' addr eth0 0.0.0.0
    ip addr add 10.1.1.1/24 dev eth0 label eth0:1
    ok addr eth0 10.1.1.1 --netmask 255.255.255.0  # held under an alias label
    expect addresses "10.99.0.2/24 brd 10.99.0.255 10.99.0.3/32 brd 10.99.0.3 10.1.1.1/24" "$(addresses)"
    ok flush eth0
    expect "after flush" "" "$(addresses)"
}

# Another interface's default route is never the worry of eth0's routes.
case_routes() {
    up_with_address
    ip link add eth1 type veth peer name p1 && ip link set p1 up && ip link set eth1 up &&
        ip addr add 10.98.0.2/24 dev eth1
    ip route add default via 10.98.0.1 dev eth1 metric 5
    ip route add default via 10.99.0.9 dev eth0 && ip route append default via 10.99.0.8 dev eth0
    ok routes eth0 10.99.0.1 10.99.0.254 10.99.0.1  # a repeated gateway counts once
    eth1="default via 10.98.0.1 dev eth1 metric 5"
    expect "two gateways" "$eth1 default via 10.99.0.1 dev eth0 default via 10.99.0.254 dev eth0" "$(default_routes)"
    ok routes eth0 10.50.0.1  # not on the subnet: reached through a host route
    expect "through a host route" "default via 10.50.0.1 dev eth0 $eth1" "$(default_routes)"
    expect "the host route" "10.50.0.1 dev eth0 scope link" "$(ip route show 10.50.0.1 | xargs)"
    ok routes eth0
    expect "without a gateway" "default dev eth0 scope link $eth1" "$(default_routes)"
    ok routes eth0 " "
    expect "blank gateway" "$eth1" "$(default_routes)"
}

case_resolver_file() {
    umask 077
    ok dns eth0 --nameserver 10.99.0.53 --nameserver " 10.0.0.2 " --search "lan example"
    expect content "search lan example
nameserver 10.99.0.53
nameserver  10.0.0.2 " "$(netlibctl dns --show)"
    expect mode 644 "$(stat -c %a /etc/resolv.conf)"
    # /etc another mount than /tmp (as with a tmpfs /tmp; here one file system bound twice, which
    # rename cannot cross either): the temporary file goes beside the resolver file.
    mount --bind /etc /etc
    ok dns eth0 --nameserver 10.99.0.54
    expect "/etc another mount" "nameserver 10.99.0.54" "$(cat /etc/resolv.conf)"
    ok dns eth0 --clear
    expect "cleared" "0" "$(stat -c %s /etc/resolv.conf)"
    umount /etc

    # Buildroot's layout: a read-only /etc whose resolv.conf links into a /run tmpfs.
    rm /etc/resolv.conf && mount -t tmpfs run /run && ln -s ../run/resolv.conf /etc/resolv.conf
    mount --bind /etc /etc && mount -o remount,bind,ro /etc
    for server in 10.99.0.53 10.99.0.54; do  # dangling at first, then replaced
        ok dns eth0 --nameserver "$server"
        expect content "nameserver $server" "$(cat /run/resolv.conf)"
    done
    expect link "../run/resolv.conf" "$(readlink /etc/resolv.conf)"
    expect mode 644 "$(stat -c %a /run/resolv.conf)"
    umount /etc

    # Links that lead nowhere a file may be replaced.
    rm /etc/resolv.conf && ln -s loop /etc/resolv.conf && ln -s resolv.conf /etc/loop
    fails ": Too many levels of symbolic links" dns eth0 --nameserver 10.99.0.53
    expect links "loop resolv.conf" "$(readlink /etc/resolv.conf) $(readlink /etc/loop)"
    mkfifo /run/fifo && ln -sf /run/fifo /etc/resolv.conf
    fails 'to "/run/fifo": Operation not supported' dns eth0 --nameserver 10.99.0.53
    [ -p /run/fifo ] || fail "the FIFO was replaced"
    # Root's link into /tmp is followed; one another user planted in /tmp never is.
    echo secret >/etc/victim && chmod 600 /etc/victim && ln -sf /tmp/resolv.conf /etc/resolv.conf
    ln -s /etc/victim /tmp/resolv.conf && chown -h 65534 /tmp/resolv.conf
    fails 'to "/tmp/resolv.conf": Permission denied' dns eth0 --nameserver 10.99.0.53
    expect victim "secret 600" "$(cat /etc/victim) $(stat -c %a /etc/victim)"
    rm /tmp/resolv.conf && ok dns eth0 --nameserver 10.99.0.53
    expect "root's link into /tmp" "nameserver 10.99.0.53" "$(cat /tmp/resolv.conf)"
    # Where only root may write (sticky, not world-writable) a link is root's doing, whoever owns it.
    chmod 1755 /tmp && ln -sf /run/resolv.conf /tmp/resolv.conf && chown -h 65534 /tmp/resolv.conf
    ok dns eth0 --nameserver 10.99.0.55
    expect "another's link, /tmp 1755" "nameserver 10.99.0.55" "$(cat /run/resolv.conf)"
    chmod 1777 /tmp
    expect "temporary files" "" "$(find /tmp /etc /run -maxdepth 1 -name '*resolv.conf.*')"
}

# The worker's steps in order; the first that fails ends the call and leaves the later ones undone.
case_static_and_fallback() {
    ip link set eth0 up
    echo "nameserver 10.99.0.99" >/etc/resolv.conf
    fails 'Failed to configure interface "eth0"' static eth0 --ip 10.99.0.7 --netmask 255.255.255.0 \
        --broadcast not-an-address --gateway 10.99.0.1 --nameserver 10.99.0.53
    expect "routes after a refused address" "" "$(default_routes)"
    fails "Invalid gateway '10.99.0.300'" static eth0 --ip 10.99.0.8 --netmask 255.255.255.0 \
        --gateway 10.99.0.300 --nameserver 10.99.0.53 --fallback
    expect "records after refused routes" "eth0: static=no fallback=no" "$(grep static= /tmp/out)"
    expect "resolver after refused routes" "nameserver 10.99.0.99" "$(cat /etc/resolv.conf)"
    fails "Invalid nameserver '10.99.0.256'" static eth0 --ip 10.99.0.8 --netmask 255.255.255.0 \
        --nameserver 10.99.0.256
    expect "records after a refused name server" "eth0: static=no fallback=no" "$(grep static= /tmp/out)"

    expect records "eth0: static=yes fallback=no" "$(applies static eth0 --ip 10.99.0.7/24 \
        --broadcast 10.99.0.127 --gateway 10.99.0.1 --nameserver 10.99.0.53 --search lan)"
    expect "address, nothing of the refused ones" "10.99.0.7/24 brd 10.99.0.127" "$(addresses)"
    expect route "default via 10.99.0.1 dev eth0" "$(default_routes)"
    expect resolver "search lan nameserver 10.99.0.53" "$(xargs </etc/resolv.conf)"
    expect "records, static with fallback" "eth0: static=yes fallback=no" "$(applies static eth0 --ip 10.99.0.9 \
        --netmask 255.255.255.0 --fallback)"
    expect "records, lease" "eth0: static=no fallback=no" "$(applies lease eth0 --ip 10.99.0.9/24)"
    expect "records, fallback" "eth0: static=no fallback=yes" "$(applies fallback eth0 --ip 10.99.0.10)"
    expect "fallback address" "10.99.0.10/32" "$(addresses | grep -o '10.99.0.10/[0-9]*')"
}

case_dhcp_lease_through_the_hook() {
    for option in ip_forward conf/all/forwarding conf/all/arp_filter; do echo 0 >"/proc/sys/net/ipv4/$option"; done
    echo 2 >/proc/sys/net/ipv4/tcp_ecn
    # The server holds its replies until the foreground client is known: with a lease the client
    # forks into the background, and a look at /proc across that fork can miss both processes.
    kill -STOP "$(cat /run/dnsmasq.pid)"
    # The client writes nothing to the command's output streams.
    netlibctl init eth0 --config "$tree/examples/network-dhcp.json" >/tmp/records || { fail "init failed"; kill -CONT "$(cat /run/dnsmasq.pid)"; return; }
    expect records "eth0: static=no fallback=no" "$(cat /tmp/records)"
    expect options "1 1 1 0" "$(cat /proc/sys/net/ipv4/ip_forward /proc/sys/net/ipv4/conf/all/forwarding \
        /proc/sys/net/ipv4/conf/all/arp_filter /proc/sys/net/ipv4/tcp_ecn | xargs)"
    client=$(netlibctl --version | sed -n 's/^DHCP client: //p') hook=$(netlibctl --version | sed -n 's/^DHCP hook: //p')
    expect "command line" "$client --retries 9 -b -x hostname:netlib-device -i eth0 -S -s $hook" \
        "$(tr '\0' ' ' </proc/"$(clients)"/cmdline | xargs)"
    # shellcheck disable=SC2034  # read by the condition eventually evaluates below
    foreground=$(clients)
    kill -CONT "$(cat /run/dnsmasq.pid)"
    eventually 'addresses | grep -q "^10.99.0.1[0-5][0-9]/24 brd 10.99.0.255$"'
    eventually '[ "$(default_routes)" = "default via 10.99.0.1 dev eth0" ]'
    eventually 'grep -qx "nameserver 10.99.0.53" /etc/resolv.conf'
    eventually '[ "$(clients | wc -l)" = 1 ] && ! clients | grep -qx "$foreground"'  # in the background
    first=$(clients)
    fails 'No such network interface "eht0"' dhcp eht0  # a typo leaves the running client alone
    expect "client after a typo" "$first" "$(clients)"
    echo '{}' >/tmp/empty.json  # no dhcp/status: DHCP too
    ok init eth0 --config /tmp/empty.json
    eventually '! clients | grep -qx "$first"'
    eventually '[ "$(clients | wc -l)" = 1 ]'  # one client, also while it forks into the background
}

# IPv6 beside IPv4, against dnsmasq's router advertisements and name server.
case_ipv6() {
    up_with_address
    for p in 0 129; do fails "Invalid IPv6 address '2001:db8:1::5/$p'" addr eth0 "2001:db8:1::5/$p"; done
    fails 'No such network interface "eht0"' ipv6 eht0 slaac
    ok ipv6 eth0 static
    expect "static mode" "0 0 0" "$(v6_mode)"
    for i in 1 2; do ok addr eth0 2001:db8:1::5/64; done  # the second: held already
    fails 'Failed to configure interface "eth0"' addr eth0 2001:db8:1::5/48
    expect "address" "2001:db8:1::5/64" "$(addresses6)"

    # The gateways of one family replace only that family's default routes.
    ok routes eth0 10.99.0.1 fe80::1 2001:db8:1::1
    expect "IPv4 routes" "default via 10.99.0.1 dev eth0" "$(default_routes)"
    expect "IPv6 routes" "default via fe80::1 dev eth0 metric 1024 default via 2001:db8:1::1 dev eth0 metric 1025" \
        "$(default_routes6)"
    ok routes eth0 2001:db8:2::1  # off-link: a host route first
    expect "IPv4 routes kept" "default via 10.99.0.1 dev eth0" "$(default_routes)"
    expect "IPv6 routes replaced" "default via 2001:db8:2::1 dev eth0 metric 1024" "$(default_routes6)"
    expect "host route" "2001:db8:2::1 dev eth0 metric 1024" "$(ip -6 route show 2001:db8:2::1 | sed 's/ pref [a-z]*//')"
    fails "Invalid gateway '2001:db8::zz'" routes eth0 10.99.0.2 2001:db8::zz
    expect "nothing half-applied" "default via 10.99.0.1 dev eth0 default via 2001:db8:2::1 dev eth0 metric 1024" \
        "$(default_routes) $(default_routes6)"

    # glibc resolves through the IPv6 name servers the library wrote, a link-local one with its scope,
    # once duplicate detection let the interface's addresses be used.
    eventually '[ -z "$(ip -6 addr show dev eth0 tentative)" ]'
    for server in 2001:db8:1::1 fe80::1%eth0; do
        ok dns eth0 --nameserver "$server" --search lan.test
        expect "resolver" "search lan.test nameserver $server" "$(xargs </etc/resolv.conf)"
        expect "resolved through $server" "2001:db8:1::77" "$(getent ahostsv6 printer | sed -n '1s/ .*//p')"
    done
    fails "Invalid nameserver 'fe80::1'" dns eth0 --nameserver fe80::1  # link-local without its interface
    expect "resolver kept" "search lan.test nameserver fe80::1%eth0" "$(xargs </etc/resolv.conf)"

    # SLAAC: the router's prefix forms an address; its name servers and domain are reported.
    netlibctl monitor >/tmp/monitor 2>&1 &
    for i in $(seq 100); do
        grep -q 2001:db8:9:: /tmp/monitor && break
        ip -6 addr add "2001:db8:9::$i/128" dev eth0 nodad
    done
    ok ipv6 eth0 slaac
    expect "SLAAC mode" "2 1 0" "$(v6_mode)"
    ip link set eth0 down && ip link set eth0 up  # routers are asked when the link comes up
    eventually 'ip -6 -o addr show dev eth0 | grep -q "inet6 2001:db8:1:0:[0-9a-f:]*/64 scope global dynamic"'
    eventually 'ip -6 route show default | grep -q "via fe80::1 dev eth0 proto ra"'
    eventually 'grep -q "2001:db8:1::1" /tmp/monitor && grep -q "lan.test" /tmp/monitor'
    kill $!
    ok addr eth0 2001:db8:8::1/1  # the shortest prefix; last, as its route covers the others
    ok ipv6 eth0 off
    expect "off" "" "$(ip -6 -o addr show dev eth0)"
}

# start_up CONFIG ADDRESSES ROUTES RESOLVER: start-up from CONFIG (JSON) on a device that had an
# address and a DHCP client running, both gone after it; RECORDS the records it printed.
start_up() {
    ip addr add 10.99.0.9/24 dev eth0 2>/dev/null
    [ -x /tmp/udhcpc ] || cp "$(readlink -f /bin/sh)" /tmp/udhcpc
    /tmp/udhcpc -c 'while :; do sleep 1; done' </dev/null >/dev/null 2>&1 &
    old=$!
    eventually "[ \"\$(cat /proc/$old/comm)\" = udhcpc ]"  # started, not just forked
    printf '%s' "$1" >/tmp/c.json
    if ! records=$(netlibctl init eth0 --config /tmp/c.json 2>/tmp/err); then
        fail "init from $1 failed: $(cat /tmp/err)"
        kill "$old"
        wait "$old"
        return
    fi
    eventually "! kill -0 $old 2>/dev/null || grep -q '^State:.*Z' /proc/$old/status"
    kill -9 "$old" 2>/dev/null
    wait "$old"
    expect "addresses from $1" "$2" "$(addresses)"
    expect "routes from $1" "$3" "$(default_routes)"
    expect "resolver from $1" "$4" "$(xargs </etc/resolv.conf)"
}

case_start_up() {
    start_up '{"dhcp": {"status": 0}}' "192.168.1.20/24 brd 192.168.1.255" "default dev eth0 scope link" ""
    expect "records" "eth0: static=yes fallback=no" "$records"
    start_up "$(cat "$tree/examples/network-static.json")" "10.20.30.40/24 brd 10.20.30.255" \
        "default via 10.20.30.1 dev eth0" "nameserver 10.20.30.53 nameserver 198.51.100.53"
    start_up '{"dhcp": {"status": 2}, "statik": {"ip": "10.99.0.40", "netmask": "255.255.255.0"},
        "routes": {"gateway": "10.99.0.1"}, "dns": {"ns1": {"ip": "10.99.0.53", "status": 0},
        "ns2": {"ip": "10.99.0.54", "status": 1}}}' \
        "10.99.0.40/24 brd 10.99.0.255" "default via 10.99.0.1 dev eth0" "nameserver 10.99.0.54"
    # A valid address with a refused netmask: the fallback keys.
    start_up '{"dhcp": {"status": 0, "fallbackIP": "10.99.0.77", "fallbackNetmask": "255.255.0.0"},
        "statik": {"ip": "10.99.0.40", "netmask": "255.0.255.0"}}' \
        "10.99.0.77/16 brd 10.99.255.255" "default dev eth0 scope link" ""
    # JSON booleans read as 1 and 0; a refused address falls back to the defaults; a name server
    # that is on but invalid is dropped.
    start_up '{"dhcp": {"status": false}, "statik": {"ip": "10.99.0.300"},
        "dns": {"ns1": {"ip": "10.99.0.53", "status": true}, "ns2": {"ip": "10.0.0.256", "status": 1}}}' \
        "192.168.1.20/24 brd 192.168.1.255" "default dev eth0 scope link" "nameserver 10.99.0.53"
    expect "records after the fallback" "eth0: static=yes fallback=no" "$records"
    expect "the fallback said" "Static address '10.99.0.300' netmask '255.255.255.0' refused, using the fallback \
address 192.168.1.20 netmask 255.255.255.0" "$(grep -o "Static address.*" /tmp/err)"
    start_up '{"dhcp": {"status": 0}, "ipv6": {"mode": "static", "address": "2001:db8:1::9/64",
        "gateway": "2001:db8:1::1"}}' "192.168.1.20/24 brd 192.168.1.255" "default dev eth0 scope link" ""
    expect "IPv6 from the tree" "2001:db8:1::9/64 default via 2001:db8:1::1 dev eth0 metric 1024" \
        "$(addresses6) $(default_routes6)"
    expect "link-local formed again" "1" "$(ip -6 -o addr show dev eth0 scope link | wc -l)"
    start_up '{"dhcp": {"status": 0}, "ipv6": {"mode": "slaac"}}' "192.168.1.20/24 brd 192.168.1.255" \
        "default dev eth0 scope link" ""
    eventually '[ -n "$(addresses6)" ]'  # routers asked at once
    for tree in '{"ipv6": {"mode": "slack"}}' '{"ipv6": {"mode": "off", "address": "2001:db8:1::9/64"}}'; do
        echo "$tree" >/tmp/c.json
        fails "Invalid IPv6 mode" init eth0 --config /tmp/c.json
        expect "nothing changed by $tree" "192.168.1.20/24 brd 192.168.1.255" "$(addresses)"
    done
}

run_cases "$@"
