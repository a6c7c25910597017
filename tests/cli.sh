#!/bin/sh
# The case_* functions are called by name (cases.sh); the single-quoted
# scripts are run by sh -c, their expansions there.
# shellcheck disable=SC2317,SC2016
# netlibctl from the outside, in private network and PID namespaces: exit
# status and line of every kind of outcome, and monitor's lines.
. "$(dirname "$0")/cases.sh"

scratch=$(mktemp -d) && : >"$scratch/resolv" && trap 'rm -rf "$scratch"' EXIT

# row STATUS TEXT ARG...: `netlibctl ARG...` exits with STATUS, TEXT in its output
# (run under $wrap when set, stdout to $out when set). The output stays in $scratch/all.
row() {
    want=$1 text=$2
    shift 2
    : >"$scratch/out"
    # A command that should be refused must not reach the machine's resolver file even if it is not.
    # shellcheck disable=SC2086,SC2016  # $wrap is a command and its words; $0 and $@ are the inner shell's
    unshare -m -n -p -f --mount-proc sh -c '{ mount --bind "$0" /etc/resolv.conf 2>/dev/null ||
        { mount --bind /etc /etc && mount -o remount,bind,ro /etc; }; } && exec "$@"' "$scratch/resolv" \
        $wrap "$NETLIBCTL" "$@" >"${out:-$scratch/out}" 2>"$scratch/err"
    got=$?
    cat "$scratch/out" "$scratch/err" >"$scratch/all"
    # Either test failing fails the row.
    # shellcheck disable=SC2015
    grep -qF -- "$text" "$scratch/all" && [ "$got" = "$want" ] ||
        fail "netlibctl $*: exit $got, want $want with [$text]; output: $(cat "$scratch/all")"
}
one_line() { expect "lines of: $*" 1 "$(wc -l <"$scratch/all")"; }

nested() { awk -v n="$1" 'BEGIN { for (; i < n; i++) printf "{\"dhcp\":"; printf "1"; while (i--) printf "}" }'; }

case_exit_codes() {
    for command in "" status list show default monitor up down prepare flush addr routes dns ipv6 dhcp static lease \
        fallback init; do
        # shellcheck disable=SC2086  # unquoted: the empty command is no argument at all
        row 0 "Usage: " $command --help
        [ -z "$command" ] || grep -qE "^\.B[IR]? \"?$command( |\"|\$)" "$(dirname "$0")/../docs/netlibctl.1" ||
            fail "the manual page has no command $command"
    done
    row 0 "DHCP hook: /" --version
    row 2 'unknown command "bogus"' bogus
    row 2 "The following argument was not expected: -x" -x  # no word that could be a command
    row 2 'unknown command "adr" (did you mean addr?)' adr lo
    row 2 'unknown command "stat" (did you mean status or static?)' stat  # a tie in the commands' order
    row 2 'unknown command "dw" (did you mean up or down or dns?)' dw
    row 2 "IFACE is required" show
    row 2 "--ip is required" fallback lo
    row 2 "--json is not an option of up" up lo --json
    row 2 "--count: a whole number of events, 1 to 999999999" monitor --count 0
    row 2 "--timeout: seconds, from 0.001 to 1000000000" monitor --timeout nan
    row 2 "the prefix length after '/' is a number from 0 to 32" addr lo 10.0.0.1/33
    row 2 "not both" addr lo 10.0.0.1/8 --netmask 255.0.0.0
    row 2 "--netmask is required, or a prefix length with the address" static lo --ip 10.0.0.1
    row 2 "--netmask and --broadcast are for IPv4 addresses" addr lo 2001:db8::5/64 --broadcast 10.0.0.255
    row 2 'MODE: unknown mode "slac" (did you mean slaac?); the modes are slaac, static and off' ipv6 lo slac
    row 1 'No such network interface "loo"' routes loo 10.0.0.1 2001:db8::1  # refused before either family changes
    row 1 "Invalid nameserver '10.0.0.300'" dns lo --nameserver 2001:db8::53 --nameserver 10.0.0.300
    row 1 'netlibctl: no interface named "loo" (did you mean lo?)' addr loo 10.0.0.1/24
    row 2 "give --nameserver or --search, or --clear" dns lo
    row 2 "--nameserver excludes --clear" dns lo --clear --nameserver 10.0.0.1
    row 2 "IFACE excludes --show" dns lo --show
    row 2 "IFACE is required (or --show)" dns --search lan
    row 1 'do_ioctl: netlib: ioctl(8913) failed: No such device' show lp  # then a line of our own
    expect "show lp" 'netlibctl: no interface named "lp" (did you mean lo?)' "$(sed 1d "$scratch/all")"
    row 1 "no interface qualifies as the main interface" default
    # The sanitizers' runtimes need descriptors of their own.
    if [ "${NETLIB_SANITIZED:-0}" != 1 ]; then
        free=3  # descriptors the test runner left open are not ours to close: stop one above the first free one
        while [ -e "/proc/$$/fd/$free" ]; do free=$((free + 1)); done
        wrap="prlimit --nofile=$((free + 1))"
        row 1 "netlib_get_ifaces: getifaddrs() failed: Too many open files" default
        one_line default, no descriptor left for the listing
        wrap=
    fi
    row 1 'netlib_netm_configure_dhcp: invalid network interface' dhcp ""
    one_line dhcp with an empty name
    for command in status "--json show lo"; do  # output that cannot be written fails
        # shellcheck disable=SC2086  # unquoted: a command may be several words
        out=/dev/full row 1 "netlibctl: cannot write the output: No space left on device" $command
    done

    # Configuration files: refused with one line before the library is called.
    nested 30000 >"$scratch/30000" && nested 33 >"$scratch/33" && nested 31 >"$scratch/31"
    head -c 2097152 /dev/zero | tr '\0' ' ' >"$scratch/2MiB"
    json='{"dhcp":{"status":1}}'
    { printf %s "$json" && head -c $((1048576 - ${#json})) /dev/zero | tr '\0' ' '; } >"$scratch/1MiB"
    printf '{"statik":{"ip":"caf\351"}}' >"$scratch/latin1"
    : >"$scratch/empty"
    printf '{"dhcp": {"status": 0,}' >"$scratch/malformed"
    for file in 30000 33; do
        row 2 "objects nested more than 32 levels deep (at /dhcp/dhcp" init nosuch0 --config "$scratch/$file"
    done
    row 2 "unknown key /dhcp/dhcp" init nosuch0 --config "$scratch/31"  # 31 levels: read, then judged
    row 1 'Failed to get "nosuch0" flags' init nosuch0 --config "$scratch/1MiB"  # 1 MiB exactly: read
    row 2 "configuration file too large" init nosuch0 --config "$scratch/2MiB"
    row 2 "configuration file too large" init nosuch0 --config /dev/zero
    row 2 "the file is empty" init nosuch0 --config "$scratch/empty"
    row 2 "ill-formed UTF-8" init nosuch0 --config "$scratch/latin1"
    row 2 "config $scratch/malformed: parse error at line 1, column 23" init nosuch0 --config "$scratch/malformed"
    row 2 "No such file or directory" init nosuch0 --config "$scratch/absent"
    row 2 "Is a directory" init nosuch0 --config "$scratch"
    k63=$(printf "%063d" 0 | tr 0 k)  # a key is shown up to 64 bytes, cut at a character boundary
    while IFS='|' read -r json text; do
        printf %s "$json" >"$scratch/value" && row 2 "$text" init nosuch0 --config "$scratch/value"
    done <<EOF
{"dhcp":{"status":null}}|null values are not supported (at /dhcp/status)
{"dhcp":{"status":1.5}}|numbers with a fraction are not supported (at /dhcp/status)
{"dns":[1]}|array values are not supported (at /dns)
[1]|the top level is not an object
{"k${k63}":null}|(at /k$k63)
{"${k63}é":null}|(at /$k63...)
{"\\u0001k${k63}":null}|(at /\\u0001$k63...)
{"dhcp":{"status":0},"static":{"ip":"10.0.0.1"}}|unknown key /static (did you mean /statik?)
{"dhcp":{"status":"0"}}|/dhcp/status must be an integer (or true/false)
{"statik":{"netmask":24}}|/statik/netmask must be a text
{"dns":{"ns1":{"status":"1"}}}|/dns/ns1/status must be an integer
{"ipv6":{"mode":"slac"}}|Invalid IPv6 mode 'slac' at /ipv6/mode (did you mean slaac?): slaac, static or off
{"ipv6":{"mode":"off","gateway":"2001:db8::1"}}|Invalid IPv6 mode 'off' at /ipv6/mode beside /ipv6/address
{"ipv6":{"adress":"2001:db8::5/64"}}|unknown key /ipv6/adress (did you mean /ipv6/address?)
{"dhcp":{"status":0},"routes":{"gateway":"10.0.0.1  10.0.0.999"}}|Invalid gateway '10.0.0.999' at /routes/gateway
{"dhcp":{"status":0,"fallbackIP":"10.0.0.0.1"},"statik":{"ip":"x"}}|Invalid fallback address '10.0.0.0.1'
{"ipv6":{"address":"2001:db8::5/0"}}|Invalid IPv6 address '2001:db8::5/0' at /ipv6/address
{"ipv6":{"gateway":"2001:db8::1 2001:db8::zz"}}|Invalid gateway '2001:db8::zz' at /ipv6/gateway
EOF
    printf '\357\273\277{"dhcp":{"status":0},"statik":{"ip":"10.0.0.400"},"routes":{"gateway":"10.0.0.1"}}' >"$scratch/bom"
    row 0 "nosuch0: static (address '10.0.0.400' netmask '255.255.255.0' refused: fallback) address 192.168.1.20 \
netmask 255.255.255.0 gateway 10.0.0.1 nameservers -" init nosuch0 --check --config "$scratch/bom"
    printf '{"ipv6":{"mode":"slaac","address":"2001:db8::5/64"}}' >"$scratch/ipv6"
    row 0 "nosuch0: DHCP client (udhcpc) ipv6 mode slaac address 2001:db8::5/64 gateway -" \
        init nosuch0 --check --config "$scratch/ipv6"
}

# What a field engineer reads of each interface, the main one and the resolver
# file; a copy of sh named udhcpc, the namespace's first child (pid 2), runs for va.
case_show() {
    printf "nameserver 10.20.0.1\nnameserver 10.20.0.2\nsearch lan corp\n" >"$scratch/resolv" && cp /bin/sh "$scratch/udhcpc"
    unshare -m -n -p -f --mount-proc sh -c '
        "$0/udhcpc" -c "kill -STOP \$\$" udhcpc -i va &
        # Over the resolver file, or, where there is none (a bare device), over a copy of /etc holding one.
        mount --bind "$0/resolv" /etc/resolv.conf 2>/dev/null || { mkdir "$0/etc" && mount -t tmpfs etc "$0/etc" &&
            cp -a /etc/. "$0/etc/" && cp "$0/resolv" "$0/etc/resolv.conf" && mount --bind "$0/etc" /etc; } || exit 1
        echo 1 >/proc/sys/net/ipv6/conf/default/addr_gen_mode  # none: link-local addresses come in their own time
        ip link set lo up && ip link add va address 02:00:00:00:00:01 mtu 1400 type veth peer name vb-longest-name \
            address 02:00:00:00:00:02 && ip link add vc address 02:00:00:00:00:03 type ifb &&
            ip link set vb-longest-name up && ip link set va up &&
            ip addr add 10.20.0.5/24 dev va && ip addr add 10.20.0.6/24 dev va label va:1 &&
            ip -6 addr add 2001:db8::5/64 dev va nodad &&
            ip route add default via 10.20.0.1 dev va && ip route add default dev vb-longest-name metric 5 || exit 1
        for i in $(seq 300); do [ "$(ip link show up | grep -c "state UP")$(cat /proc/2/comm)" = 2udhcpc ] && break
            sleep 0.1; done
        "$NETLIBCTL" status && "$NETLIBCTL" show va --json && "$NETLIBCTL" list && "$NETLIBCTL" list --all --json &&
        "$NETLIBCTL" --json status | grep -oE "\"dhcp_pid\":2|\"dns\":.*"' "$scratch" >"$scratch/out" 2>"$scratch/err"
    expect "status and show" "lo: <LOOPBACK,UP,RUNNING,LOWER_UP> index 1 state unknown mtu 65536 mac 00:00:00:00:00:00 inet 127.0.0.1/8 inet6 ::1/128 scope host link - gw - dhcp -
vb-longest-name: <BROADCAST,MULTICAST,UP,RUNNING,LOWER_UP> index 2 state up mtu 1500 mac 02:00:00:00:00:02 inet - inet6 - link 10000Mb/s full gw dev dhcp -
va: <BROADCAST,MULTICAST,UP,RUNNING,LOWER_UP> index 3 state up mtu 1400 mac 02:00:00:00:00:01 inet 10.20.0.5/24 10.20.0.6/24 inet6 2001:db8::5/64 scope global link 10000Mb/s full gw 10.20.0.1 dhcp 2
vc: <BROADCAST,NOARP> index 4 state down mtu 1500 mac 02:00:00:00:00:03 inet - inet6 - link - gw - dhcp -
main interface: vb-longest-name
dns: nameservers 10.20.0.1 10.20.0.2 search lan corp
{\"name\":\"va\",\"index\":3,\"flags\":4163,\"flag_names\":[\"BROADCAST\",\"MULTICAST\",\"UP\",\"RUNNING\",\"LOWER_UP\"],\"up\":true,\"running\":true,\"broadcast\":true,\"loopback\":false,\"state\":\"up\",\"mtu\":1400,\"mac\":\"02:00:00:00:00:01\",\"addresses\":[\"10.20.0.5/24\",\"10.20.0.6/24\"],\"address\":\"10.20.0.5\",\"netmask\":\"255.255.255.0\",\"ipv6_addresses\":[{\"address\":\"2001:db8::5/64\",\"scope\":\"global\",\"dadfailed\":false,\"deprecated\":false,\"tentative\":false}],\"speed\":10000,\"duplex\":\"full\",\"gateways\":[\"10.20.0.1\"]}
lo
vb-longest-name
va
[\"lo\",\"vb-longest-name\",\"va\",\"vc\"]
\"dhcp_pid\":2
\"dns\":{\"nameservers\":[\"10.20.0.1\",\"10.20.0.2\"],\"search\":[\"lan\",\"corp\"]}}" "$(cat "$scratch/out")"
    # The queries' expected failures are hidden; the notices after them are not.
    expect notice "More than 1 interface been found, choose: 'vb-longest-name'" "$(grep -o "More than.*" "$scratch/err" | sort -u)"
    expect "nothing else on stderr" "" "$(grep -v "More than" "$scratch/err")"
}

# The snapshot, then a link made once it has been printed and deleted; a name that is not
# UTF-8 comes out as U+FFFD in JSON and as the kernel gave it in text.
case_monitor() {
    mkfifo "$scratch/lines"
    unshare -n -p -f --mount-proc sh -c '
        { echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6; } 2>/dev/null  # no ::1 among the snapshot
        ip link set lo up && ip link add "$(printf "bad\377")" type bridge
        timeout 30 "$NETLIBCTL" monitor --json --snapshot --count 5 >"$1" &  # no --timeout: the count ends it
        exec 3<"$1"
        for line in 1 2 3; do read -r snapshot <&3 && echo "$snapshot"; done
        ip link add live0 type bridge && read -r line <&3 && echo "$line" && ip link del live0
        cat <&3
        wait' sh "$scratch/lines" >"$scratch/out"
    stamp='"time":"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}[+-][0-9]{4}",'
    expect "timestamps" 5 "$(grep -cE "^\{$stamp\"event\"" "$scratch/out")"
    expect "lines" '{"event":"lower_up","payload":{"flags":65609,"ifindex":1,"ifname":"lo","type":772,"eventName":"lower_up"}}
{"event":"if_down","payload":{"flags":4098,"ifindex":2,"ifname":"bad�","type":1,"eventName":"if_down"}}
{"event":"address_assigned","payload":{"family":"AF_INET","flags":128,"ifaddr":"127.0.0.1","ifindex":1,"ifname":"lo","eventName":"address_assigned"}}
{"event":"if_down","payload":{"flags":4098,"ifindex":3,"ifname":"live0","type":1,"eventName":"if_down"}}
{"event":"if_down","payload":{"flags":4098,"ifindex":3,"ifname":"live0","type":1,"eventName":"if_down"},"deleted":true}' \
        "$(sed -E "s/$stamp//" "$scratch/out")"
    unshare -n -p -f --mount-proc sh -c \
        'ip link add "$(printf "bad\377")" type bridge && "$NETLIBCTL" monitor --snapshot --count 2' \
        >"$scratch/out"
    expect "text" "$(printf '] if_down flags=4098 ifindex=2 ifname=bad\377 type=1 eventName=if_down')" \
        "$(sed -n '2s/^\[[-0-9T:.+]*//p' "$scratch/out")"
    # Stopped while a burst overflows its queue, monitor says so once, resynchronises and goes on.
    unshare -n -p -f --mount-proc sh -c '
        ip link set lo up && mkfifo "$1.q"
        "$NETLIBCTL" monitor --snapshot >"$1.q" 2>"$1.err" &
        monitor=$! && exec 3<"$1.q" && read -r first <&3 && kill -STOP $monitor
        cat <&3 >"$1.out" &
        { seq 200 | sed "s/.*/link add b& type bridge/"; for m in $(seq 1000 1039); do
            seq 200 | sed "s/.*/link set b& mtu $m/"; done; } | ip -batch -  # 8200 notifications
        kill -CONT $monitor && ip link add after0 type bridge
        i=0; until grep -q after0 "$1.out" || [ $i -ge 600 ]; do sleep 0.1; i=$((i+1)); done' sh "$scratch/o"
    expect "overflow" "1" "$(grep -c "^netlibctl: event queue overflowed, notifications were lost; resynchronising$" \
        "$scratch/o.err")"
    expect "after the overflow" "1" "$(grep -c "ifname=after0" "$scratch/o.out")"
    # With SIGPIPE ignored (as systemd starts services), monitor ends once its reader is gone.
    unshare -n -p -f --mount-proc sh -c '
        trap "" PIPE && mkfifo "$1.lines" && ip link set lo up
        { timeout 60 "$NETLIBCTL" monitor --snapshot 2>&1 >"$1.lines"; echo "exit $?"; } >"$1.end" &
        head -n 1 "$1.lines" >/dev/null
        i=0; while [ ! -s "$1.end" ] && [ $i -lt 2000 ]; do ip link add d0 type bridge; ip link del d0; i=$((i+1)); done
        wait' sh "$scratch/m"
    expect "monitor without a reader" "netlibctl: cannot write the output: Broken pipe
exit 1" "$(cat "$scratch/m.end")"
    # Stopped with TERM, as a service manager stops it: it ends at once, exit 0 (KILL after 60 s;
    # timeout hands the TERM it gets on to the monitor).
    unshare -n -p -f --mount-proc sh -c '
        ip link set lo up
        timeout -s KILL 60 "$NETLIBCTL" monitor --snapshot >"$1.out" & t=$!
        i=0; until [ -s "$1.out" ] || [ $i -ge 600 ]; do sleep 0.1; i=$((i+1)); done
        kill -TERM $t; wait $t; echo "exit $?"' sh "$scratch/t" >"$scratch/t.end"
    expect "monitor stopped with TERM" "exit 0" "$(cat "$scratch/t.end")"
}

run_cases "$@"
