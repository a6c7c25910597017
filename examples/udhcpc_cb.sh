#!/bin/sh
# Hook script of busybox udhcpc: the library starts the client with
# "-s /bin/udhcpc_cb.sh", so install this file there. udhcpc passes the
# event as $1 and the lease in the environment; netlibctl applies it.
# netlibctl is taken from PATH, or from $NETLIBCTL when that is set.

# shellcheck disable=SC2154  # interface, ip, subnet, ... come from udhcpc
netlibctl=${NETLIBCTL:-netlibctl}

# $dns is a space-separated list: split it, but never glob it.
set -f

apply_lease()
{
    set -- lease "$interface" --ip "$ip" --netmask "$subnet"
    if [ -n "$router" ]; then
        # Several routers stay one space-separated gateway text.
        set -- "$@" --gateway "$router"
    fi
    for server in $dns; do
        set -- "$@" --nameserver "$server"
    done
    if [ -n "$domain" ]; then
        set -- "$@" --search "$domain"
    fi
    if [ -n "$broadcast" ]; then
        set -- "$@" --broadcast "$broadcast"
    fi
    "$netlibctl" "$@"
}

case "$1" in
    bound | renew)
        apply_lease
        ;;
    deconfig)
        "$netlibctl" flush "$interface"
        ;;
    *)
        # leasefail, nak and anything newer: nothing to change.
        ;;
esac

exit 0
