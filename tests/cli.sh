#!/bin/sh
# netlibctl from the outside, in a private network namespace: exit status and
# line of every kind of outcome, and monitor's JSON lines for a real veth.
. "$(dirname "$0")/cases.sh"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# row STATUS TEXT ARG...: `netlibctl ARG...` exits with STATUS, TEXT in its output.
row() {
    want=$1 text=$2
    shift 2
    unshare -n "$NETLIBCTL" "$@" >"$scratch/out" 2>"$scratch/err"
    got=$?
    cat "$scratch/out" "$scratch/err" | grep -qF -- "$text" && [ "$got" = "$want" ] ||
        fail "netlibctl $*: exit $got, want $want with [$text]; stderr: $(cat "$scratch/err")"
}

nested() {  # a JSON file of N nested objects
    awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "{\"dhcp\":"; printf "1"; for (i = 0; i < n; i++) printf "}" }'
}

case_exit_codes() {
    for command in "" status list show default monitor up down prepare flush addr routes dns dhcp static lease \
        fallback init; do
        row 0 "Usage: " $command --help
    done
    row 2 "not expected: bogus" bogus
    row 2 "IFACE is required" show
    row 2 "--json is not an option of up" up lo --json
    row 1 'do_ioctl: netlib: ioctl(8913) failed: No such device' show nosuch0
    row 1 "no interface qualifies as the main interface" default
    row 1 'netlib_netm_configure_ip_addr: subnet mask is invalid' addr lo 10.0.0.1 --netmask 255.0.255.0

    # Configuration files: refused with one line before the library is called.
    nested 30000 >"$scratch/30000" && nested 33 >"$scratch/33" && nested 31 >"$scratch/31"
    head -c 2097152 /dev/zero | tr '\0' ' ' >"$scratch/2MiB"
    printf '{"statik":{"ip":"caf\351"}}' >"$scratch/latin1"
    : >"$scratch/empty"
    printf '{"dhcp": {"status": 0,}' >"$scratch/malformed"
    for file in 30000 33; do
        row 2 "objects nested more than 32 levels deep (at /dhcp/dhcp" init nosuch0 --config "$scratch/$file"
    done
    row 1 'Failed to get "nosuch0" flags' init nosuch0 --config "$scratch/31"
    row 2 "configuration file too large" init nosuch0 --config "$scratch/2MiB"
    row 2 "configuration file too large" init nosuch0 --config /dev/zero
    row 2 "the file is empty" init nosuch0 --config "$scratch/empty"
    row 2 "ill-formed UTF-8" init nosuch0 --config "$scratch/latin1"
    row 2 "parse error at line 1, column 23" init nosuch0 --config "$scratch/malformed"
    row 2 "No such file or directory" init nosuch0 --config "$scratch/absent"
}

case_monitor_json() {
    mkfifo "$scratch/lines"
    unshare -n sh -c '
        ip link set lo up
        "$NETLIBCTL" monitor --json --snapshot --count 5 --timeout 120 >"$1" &
        exec 3<"$1"
        read -r snapshot <&3  # loopback: the module is listening from here on
        echo "$snapshot"
        ip link add va type veth peer name vb && ip addr add 10.9.0.1/24 dev va
        cat <&3
        wait' sh "$scratch/lines" >"$scratch/out"
    expect "snapshot" '{"event":"lower_up","payload":{"flags":65609,"ifindex":1,"ifname":"lo","type":772,"eventName":"lower_up"}}' \
        "$(head -n 1 "$scratch/out")"
    expect "veth and its address" '{"event":"if_down","payload":{"flags":4098,"ifindex":2,"ifname":"vb","type":1,"eventName":"if_down"}}
{"event":"if_down","payload":{"flags":4098,"ifindex":3,"ifname":"va","type":1,"eventName":"if_down"}}
{"event":"address_assigned","payload":{"family":"AF_INET","flags":128,"ifaddr":"10.9.0.1","ifindex":3,"ifname":"va","eventName":"address_assigned"}}' \
        "$(grep '"v[ab]"' "$scratch/out")"
}

run_cases "$@"
