#!/usr/bin/env python3
"""Records real rtnetlink notifications into this directory, one datagram per
file, for the decoder tests, the fuzz seeds and the benchmarks.

Run as root inside a private network namespace only:
    unshare -n python3 tests/data/netlink/record.py
Each file is named <scenario>-<nn>-<message type>.bin.
"""
import os
import socket
import struct
import subprocess
import sys
import time

RTMGRP_LINK = 0x1
RTMGRP_IPV4_IFADDR = 0x10
RTMGRP_IPV6_IFADDR = 0x100
TYPES = {16: "newlink", 17: "dellink", 20: "newaddr", 21: "deladdr"}

SCENARIOS = [
    ("veth", [
        "link add rec-veth0 type veth peer name rec-veth1",
        "link set rec-veth0 up",
        "link set rec-veth1 up",
        "addr add 192.168.77.1/24 dev rec-veth0",
        "-6 addr add 2001:db8::1/64 dev rec-veth0 nodad",
        "addr del 192.168.77.1/24 dev rec-veth0",
        "-6 addr del 2001:db8::1/64 dev rec-veth0",
        "link set rec-veth0 down",
        "link del rec-veth0",
    ]),
    ("bridge", [
        "link add rec-br0 type bridge",
        "link set rec-br0 up",
        "addr add 10.9.8.7/16 dev rec-br0",
        "link set rec-br0 down",
        "link del rec-br0",
    ]),
    ("tap", [
        "tuntap add rec-tap0 mode tap",
        "link set rec-tap0 up",
        "addr add 172.16.5.4/30 dev rec-tap0",
        "link del rec-tap0",
    ]),
]


def message_types(data):
    types, offset = [], 0
    while offset + 16 <= len(data):
        length, kind = struct.unpack_from("=IH", data, offset)
        if length < 16:
            break
        types.append(TYPES.get(kind, str(kind)))
        offset += (length + 3) & ~3
    return types


def drain(sock, scenario, counter, out_dir):
    while True:
        try:
            data = sock.recv(1 << 20)
        except BlockingIOError:
            return counter
        counter += 1
        name = "%s-%02d-%s.bin" % (scenario, counter, "+".join(message_types(data)))
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


def main():
    # A fresh namespace holds only lo; anything else means this is a real one.
    if [name for _, name in socket.if_nameindex() if name != "lo"]:
        sys.exit("refusing to run outside a fresh private network namespace; use unshare -n")
    out_dir = os.path.dirname(os.path.abspath(__file__))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW | socket.SOCK_NONBLOCK, socket.NETLINK_ROUTE)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
    sock.bind((0, RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR))
    for scenario, commands in SCENARIOS:
        counter = 0
        for command in commands:
            subprocess.run(["ip"] + command.split(), check=True)
            time.sleep(0.2)
            counter = drain(sock, scenario, counter, out_dir)


if __name__ == "__main__":
    main()
