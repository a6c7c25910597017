#!/bin/sh
# device-root.sh COMMAND [ARG]... runs COMMAND as PID 1 of a throw-away
# device: private mount, network, PID and UTS namespaces (host name
# netlib-device); a tmpfs root holding /bin and /sbin (sh, netlibctl, and the
# ip, route and udhcpc programs and the DHCP hook at the paths the netlibctl
# under test reports), /etc and /tmp on one file system; /usr and /lib of
# this machine read-only; the project tree at its own path. eth0 is the
# device's end of a veth pair whose peer, 10.99.0.1/24 in a namespace of its
# own, runs dnsmasq (leases 10.99.0.100-150, router 10.99.0.1, name server
# 10.99.0.53; router advertisements from fe80::1 of prefix 2001:db8:1::/64,
# name server 2001:db8:1::1, domain lan.test; a name server answering
# printer.lan.test on 2001:db8:1::1 and fe80::1), listening before COMMAND
# starts; eth0 takes no advertisements until a case switches them on. Everything started inside
# dies with COMMAND. Root only. NETLIBCTL names the netlibctl to use;
# DEVICE_USERLAND=busybox makes ip and route BusyBox applets too, as on a
# Buildroot-made device (default: iproute2 and net-tools, BusyBox udhcpc).
set -eu
if [ "${DEVICE_ROOT_INSIDE:-}" != 1 ]; then
    [ "$(id -u)" = 0 ] || { echo "device-root.sh: needs root" >&2; exit 77; }
    exec env DEVICE_ROOT_INSIDE=1 unshare --mount --net --pid --uts --fork --kill-child --mount-proc "$0" "$@"
fi
tree=$(cd "$(dirname "$0")/.." && pwd)
tool() { readlink -f "$(command -v "$1" || for d in /usr/sbin /sbin; do [ -x "$d/$1" ] && echo "$d/$1"; done)"; }
ip=$(tool ip) route=$(tool route) busybox=$(tool busybox) dnsmasq=$(tool dnsmasq) sh=$(tool dash)
netlibctl=$(readlink -f "${NETLIBCTL:-$(tool netlibctl)}")
device_ip=$ip device_route=$route
case "${DEVICE_USERLAND:-debian}" in
    debian) ;;
    busybox) device_ip=$busybox device_route=$busybox ;;
    *) echo "device-root.sh: DEVICE_USERLAND is debian or busybox" >&2; exit 2 ;;
esac
# Where the library under test runs its programs from.
versions=$("$netlibctl" --version)
path_of() { printf '%s\n' "$versions" | sed -n "s/^$1: //p"; }
root=/mnt

mount --make-rprivate /
hostname netlib-device
mount -t tmpfs -o size=64m,mode=0755 device "$root"
mkdir -p "$root/bin" "$root/sbin" "$root/etc" "$root/tmp" "$root/proc" "$root/dev" "$root/sys" "$root/run" \
    "$root$tree"
chmod 1777 "$root/tmp"
for d in usr lib lib64 lib32; do
    if [ -L "/$d" ]; then ln -s "$(readlink "/$d")" "$root/$d"
    elif [ -d "/$d" ]; then mkdir "$root/$d" && mount -o bind,ro "/$d" "$root/$d"; fi
done
mount -o bind,ro "$tree" "$root$tree"
mount --rbind /dev "$root/dev"
ln -s "$sh" "$root/bin/sh"; ln -s "$netlibctl" "$root/bin/netlibctl"
# The checks read the kernel through this machine's own tools, never through the programs under test.
mkdir "$root/tools" && ln -s "$ip" "$root/tools/ip" && ln -s "$route" "$root/tools/route"
# place PATH TARGET: a link at PATH; a path on the read-only /usr must be there already (a package's).
place() {
    [ -n "$1" ] || { echo "device-root.sh: $netlibctl --version names no such program" >&2; exit 2; }
    if [ -e "$root$1" ]; then return; fi
    # Either step failing ends the start.
    # shellcheck disable=SC2015
    mkdir -p "$root${1%/*}" && ln -s "$2" "$root$1" ||
        { echo "device-root.sh: cannot place $1 in the device" >&2; exit 2; }
}
place "$(path_of "ip program")" "$device_ip"
place "$(path_of "route program")" "$device_route"
place "$(path_of "DHCP client")" "$busybox"
place "$(path_of "DHCP hook")" "$tree/examples/udhcpc_cb.sh"

# The peer: a namespace of its own at the far end of the veth pair.
"$ip" link set lo up
unshare --net sleep 2147483647 &
peer=$!
while [ "$(readlink /proc/$peer/ns/net)" = "$(readlink /proc/self/ns/net)" ]; do :; done
"$ip" link add name eth0 type veth peer name peer0 netns "$peer"
# Router advertisements are taken only where a case asks for them (netlibctl ipv6 eth0 slaac).
echo 0 >/proc/sys/net/ipv6/conf/eth0/accept_ra
# The peer's IPv6 addresses are fixed and usable at once, so dnsmasq listens on them from the start.
nsenter --net=/proc/$peer/ns/net sh -c "
    $ip link set lo up && $ip addr add 10.99.0.1/24 dev peer0 && $ip link set peer0 addrgenmode none &&
    $ip addr add fe80::1/64 dev peer0 nodad && $ip addr add 2001:db8:1::1/64 dev peer0 nodad &&
    $ip link set peer0 up &&
    $dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --interface=peer0 --bind-interfaces --user=root \
        --host-record=printer.lan.test,10.99.0.77,2001:db8:1::77 \
        --dhcp-range=10.99.0.100,10.99.0.150,255.255.255.0,1h --dhcp-option=option:router,10.99.0.1 \
        --dhcp-option=option:dns-server,10.99.0.53 --dhcp-leasefile=$root/run/leases --pid-file=$root/run/dnsmasq.pid \
        --enable-ra --dhcp-range=2001:db8:1::,ra-only,64,1h --dhcp-option=option6:dns-server,[2001:db8:1::1] \
        --dhcp-option=option6:domain-search,lan.test"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
cd "$root"
exec env -i PATH=/tools:/bin:/usr/bin:/sbin:/usr/sbin HOME=/ LANG=C NETLIBCTL=/bin/netlibctl DEVICE_ROOT=1 \
    ${ASAN_OPTIONS:+ASAN_OPTIONS=$ASAN_OPTIONS} chroot "$root" "$@"
