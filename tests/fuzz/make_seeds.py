#!/usr/bin/env python3
"""Writes the hand-built seed inputs of the fuzz targets into corpus/<target>/.

The recorded kernel notifications (tests/data/netlink) are replayed by the
nl_event_callback target straight from their directory; here they are only
wrapped into the nl_service target's input format. Run again after changing
an input format; the files are committed.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
RECORDED = os.path.join(HERE, "..", "data", "netlink")

RTM_NEWLINK, RTM_DELLINK, RTM_NEWADDR, RTM_DELADDR, RTM_NEWROUTE = 16, 17, 20, 21, 24
NLMSG_ERROR, NLMSG_DONE = 2, 3
AF_INET, AF_INET6 = 2, 10
IFLA_IFNAME, IFA_ADDRESS, IFA_LOCAL = 3, 1, 2


def pad4(b):
    return b + b"\0" * (-len(b) % 4)


def attr(kind, payload, rta_len=None):
    n = 4 + len(payload) if rta_len is None else rta_len
    return pad4(struct.pack("<HH", n, kind) + payload)


def message(kind, body, length=None):
    n = 16 + len(body) if length is None else length
    return struct.pack("<IHHII", n, kind, 0, 0, 0) + body


def link(kind, flags, index=3, arphrd=1, attrs=b"", length=None):
    return message(kind, struct.pack("<BBHiII", 0, 0, arphrd, index, flags, 0xFFFFFFFF) + attrs, length)


def addr(kind, family, index=1, flags=0x80, prefix=24, attrs=b"", length=None):
    return message(kind, struct.pack("<BBBBI", family, prefix, flags, 0, index) + attrs, length)


def ipv6(text):
    import ipaddress
    return ipaddress.IPv6Address(text).packed


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def event_seeds():
    up = 0x10043
    return {
        "link-31-bytes": link(RTM_NEWLINK, up, length=31)[:31],
        "link-header-only": link(RTM_NEWLINK, 0x1),
        "link-name-16-no-nul": link(RTM_NEWLINK, up, attrs=attr(IFLA_IFNAME, b"abcdefghijklmnop")),
        "link-name-17-no-nul": link(RTM_NEWLINK, up, attrs=attr(IFLA_IFNAME, b"abcdefghijklmnopq")),
        "link-name-inner-nul": link(RTM_NEWLINK, 0x1, attrs=attr(IFLA_IFNAME, b"ab\0cd\0")),
        "link-two-names": link(RTM_NEWLINK, 0, attrs=attr(IFLA_IFNAME, b"first\0") + attr(IFLA_IFNAME, b"second\0")),
        "link-name-empty-payload": link(RTM_NEWLINK, 0, attrs=attr(IFLA_IFNAME, b"")),
        "link-attr-len-3": link(RTM_NEWLINK, up, attrs=struct.pack("<HH", 3, IFLA_IFNAME) + b"eth0"),
        "link-attr-len-past-end": link(RTM_NEWLINK, up, attrs=struct.pack("<HH", 40, IFLA_IFNAME) + b"eth0\0\0\0\0"),
        "link-attr-unaligned-last": link(RTM_NEWLINK, up, attrs=struct.pack("<HH", 9, IFLA_IFNAME) + b"eth0\0"),
        "link-lower-up-only": link(RTM_DELLINK, 0x10000, attrs=attr(IFLA_IFNAME, b"veth1\0")),
        "link-del-still-up": link(RTM_DELLINK, 0x1003, index=-1, arphrd=0xFFFF, attrs=attr(IFLA_IFNAME, b"br0\0")),
        "link-declared-longer": link(RTM_NEWLINK, up, attrs=attr(IFLA_IFNAME, b"tap0\0"), length=4000),
        "addr-23-bytes": addr(RTM_NEWADDR, AF_INET, length=23)[:23],
        "addr-header-only": addr(RTM_DELADDR, AF_INET),
        "addr-v4-local-and-address": addr(RTM_NEWADDR, AF_INET, attrs=attr(IFA_ADDRESS, bytes([10, 0, 0, 2]))
                                          + attr(IFA_LOCAL, bytes([10, 0, 0, 1]))),
        "addr-v4-short-payload": addr(RTM_NEWADDR, AF_INET, attrs=attr(IFA_LOCAL, bytes([10, 0, 0]))),
        "addr-v6-address": addr(RTM_DELADDR, AF_INET6, attrs=attr(IFA_ADDRESS, ipv6("fe80::1"))),
        "addr-v6-short-payload": addr(RTM_NEWADDR, AF_INET6, attrs=attr(IFA_ADDRESS, ipv6("2001:db8::1")[:15])),
        "addr-v6-all-ones": addr(RTM_NEWADDR, AF_INET6, index=0xFFFFFFFF,
                                 attrs=attr(IFA_LOCAL, b"\xff" * 16)),
        "addr-family-7": addr(RTM_NEWADDR, 7, attrs=attr(IFA_LOCAL, bytes([1, 2, 3, 4]))),
        "route": message(RTM_NEWROUTE, b"\0" * 12),
        "done": message(NLMSG_DONE, b"\0" * 4),
        "error": message(NLMSG_ERROR, b"\0" * 20),
        "ten-bytes": b"\x0a\0\0\0\x10\0\0\0\0\0",
    }


def service_input(*datagrams):
    return b"".join(struct.pack("<H", len(d)) + d for d in datagrams)


def service_seeds(events):
    lo_up = link(RTM_NEWLINK, 0x10049, index=1, attrs=attr(IFLA_IFNAME, b"lo\0"))
    v4 = addr(RTM_NEWADDR, AF_INET, attrs=attr(IFA_LOCAL, bytes([192, 168, 7, 1])))
    big = link(RTM_NEWLINK, 0x10043, attrs=attr(0x7FF0, b"\xab" * 9000) + attr(IFLA_IFNAME, b"big0\0"))
    seeds = {
        "link-then-addr": service_input(pad4(lo_up) + v4),
        "valid-then-8-stray": service_input(pad4(v4) + b"\x01" * 8),
        "ten-bytes": service_input(b"\x0a" + b"\0" * 9),
        "empty-datagram": service_input(b""),
        "first-len-too-big": service_input(link(RTM_NEWLINK, 1, length=200)),
        "second-len-below-16": service_input(pad4(v4) + struct.pack("<IHHII", 8, RTM_NEWLINK, 0, 0, 0)),
        "done-error-route-between": service_input(pad4(lo_up) + message(NLMSG_DONE, b"\0" * 4)
                                                  + message(NLMSG_ERROR, b"\0" * 20)
                                                  + message(RTM_NEWROUTE, b"\0" * 12) + v4),
        "over-stack-buffer": service_input(big),
        "several-datagrams": service_input(lo_up, v4, b"", events["addr-v6-address"], b"\x05"),
        "odd-tail": service_input(v4) + b"\x07",
    }
    for name in sorted(os.listdir(RECORDED)):
        if name.endswith(".bin"):
            with open(os.path.join(RECORDED, name), "rb") as f:
                seeds["recorded-" + name[:-4]] = service_input(f.read())
    return seeds


# ---- configuration trees (see config_input.h) ----

def key(name):
    b = name.encode("latin-1")
    return bytes([0x80 | len(b)]) + b


def value(v):
    if isinstance(v, dict):
        out = bytes([12, len(v)])
        for k, child in v.items():
            out += key(k) + value(child)
        return out
    if isinstance(v, (str, bytes)):
        b = v.encode("latin-1") if isinstance(v, str) else v
        return bytes([10, len(b)]) + b
    kind, n = v
    code, fmt = {"bool": (1, "<B"), "i8": (2, "<b"), "u8": (3, "<B"), "i16": (4, "<h"), "u16": (5, "<H"),
                 "i32": (6, "<i"), "u32": (7, "<I"), "i64": (8, "<q"), "u64": (9, "<Q")}[kind]
    return bytes([code]) + struct.pack(fmt, n)


def config(tree, iface=b"eth0", exec_fail=0, b1=0, b2=0):
    return bytes([exec_fail, b1, b2, len(iface)]) + iface + value(tree)


def status(n, kind="i32"):
    return {"dhcp": {"status": (kind, n)}}


def static(**extra):
    tree = {"dhcp": {"status": ("i32", 0)},
            "statik": {"ip": "192.168.7.20", "netmask": "255.255.255.0"},
            "routes": {"gateway": "192.168.7.1 192.168.7.254"},
            "dns": {"ns1": {"ip": "192.168.7.1", "status": ("i32", 1)},
                    "ns2": {"ip": "9.9.9.9", "status": ("u8", 1)}}}
    for path, v in extra.items():
        node = tree
        parts = path.split("__")
        for p in parts[:-1]:
            node = node.setdefault(p, {})
        node[parts[-1]] = v
    return tree


def deep(levels):
    tree = ("i32", 0)
    for _ in range(levels):
        tree = {"dhcp": tree}
    return tree


def init_seeds():
    return {
        "empty-tree-dhcp": config({}),
        "status-0-defaults": config(status(0)),
        "status-2-uint8": config(status(2, "u8")),
        "status-1-int64-dhcp": config(status(1, "i64")),
        "status-text": config({"dhcp": {"status": "0"}}),
        "status-u64-max": config(status(2**64 - 1, "u64")),
        "status-2-pow-32-plus-1": config(status(2**32 + 1, "i64")),
        "status-bool": config({"dhcp": {"status": ("bool", 0)}}),
        "static-full": config(static()),
        "static-one-gateway-no-dns": config(static(routes__gateway="192.168.7.1", dns={})),
        "static-ip-leading-zero": config(static(statik__ip="192.168.07.20")),
        "static-ip-five-octets": config(static(statik__ip="1.2.3.4.5")),
        "static-ip-hex": config(static(statik__ip="0xc0a80714")),
        "static-ip-crlf": config(static(statik__ip="192.168.7.20\r\n")),
        "static-ip-int": config(static(statik__ip=("u32", 0xC0A80714))),
        "static-netmask-holes": config(static(statik__netmask="255.0.255.0")),
        "fallback-hostile": config(static(statik__ip="$(reboot)", dhcp__fallbackIP="1.2.3.4;reboot",
                                          dhcp__fallbackNetmask="`reboot`")),
        "fallback-valid": config(static(statik__ip="256.1.1.1", dhcp__fallbackIP="10.9.8.7",
                                        dhcp__fallbackNetmask="255.255.0.0")),
        "gateway-crlf": config(static(routes__gateway="192.168.7.1\n192.168.7.2")),
        "gateway-spaces-only": config(static(routes__gateway="   ")),
        "gateway-empty": config(static(routes__gateway="")),
        "gateway-shell": config(static(routes__gateway="192.168.7.1 ;reboot")),
        "ns-hostile": config(static(dns__ns1__ip="8.8.8.8\nnameserver 6.6.6.6", dns__ns2__ip="$(reboot)")),
        "ns-status-high-bits": config(static(dns__ns1__status=("i64", 2**32), dns__ns2__status=("i64", -1))),
        "ns-status-text": config(static(dns__ns1__status="1")),
        "nonutf8-everywhere": config(static(statik__ip=b"\xff\xfe1.2.3.4", routes__gateway=b"\xc0\xa8")),
        "deep-nesting": config(deep(500)),
        "tree-is-text": config("dhcp/status"),
        "tree-is-int": config(("u64", 12345)),
        "iface-15": config(static(), iface=b"abcdefghijklmno"),
        "iface-16": config(static(), iface=b"abcdefghijklmnop"),
        "iface-17": config({}, iface=b"abcdefghijklmnopq"),
        "iface-nul": config(static(), iface=b"eth\x000"),
        "iface-empty": config({}, iface=b""),
        "iface-shell": config(static(), iface=b";reboot"),
        "iface-subst": config({}, iface=b"$(reboot)"),
        "iface-backquote": config(static(), iface=b"`id`"),
        "iface-dash": config(static(), iface=b"-rf"),
        "iface-dotdot": config({}, iface=b".."),
        "iface-slash": config(static(), iface=b"a/b"),
        "iface-space": config(static(), iface=b"eth 0"),
        "iface-nonutf8": config(static(), iface=b"\xff\xfe\x80"),
        "fail-first-command": config(static(), exec_fail=0x01),
        "fail-route-then-host-route": config(static(), exec_fail=0x06),
        "fail-all-commands": config(static(), exec_fail=0xFF, b2=0x30),
        "fail-proc-row-2": config({}, b1=0x04 | 2),
        "fail-flag-read": config({}, b1=0x08),
        "fail-flag-write": config({}, b1=0x10),
        "fail-mtu": config({}, b1=0x20, b2=0xC0),
        "fail-daemon": config({}, b1=0x40),
        "fail-rename": config(static(), b1=0x80),
        "fail-file-open": config(static(), b2=0x01),
        "fail-file-write": config(static(), b2=0x02),
        "hostname-64": config({}, b2=0x04),
        "hostname-fails": config({}, b2=0x08),
        "hostname-shell": config({}, b2=0x0C),
        "routes-to-delete": config(static(), b2=0x30),
    }


def main():
    events = event_seeds()
    for name, data in events.items():
        write("nl_event_callback", name, data)
    for name, data in service_seeds(events).items():
        write("nl_service", name, data)
    for name, data in init_seeds().items():
        write("init_network", name, data)


if __name__ == "__main__":
    main()
