#!/usr/bin/env python3
"""Copies a classic pcap of Ethernet/IPv4/TCP frames without every frame of the TCP connection
whose client sent TEXT (both directions): a capture that missed one whole exchange.

Usage: drop-connection.py IN.pcap TEXT OUT.pcap
"""
import struct
import sys


def frames(data):
    at = 24
    while at + 16 <= len(data):
        incl = struct.unpack_from("<I", data, at + 8)[0]
        yield data[at:at + 16], data[at + 16:at + 16 + incl]
        at += 16 + incl


def endpoints(frame):
    if len(frame) < 34 or frame[12:14] != b"\x08\x00" or frame[23] != 6:
        return None
    ihl = (frame[14] & 15) * 4
    tcp = 14 + ihl
    if len(frame) < tcp + 20:
        return None
    sport, dport = struct.unpack_from(">HH", frame, tcp)
    off = (frame[tcp + 12] >> 4) * 4
    return (frame[26:30], sport, frame[30:34], dport), frame[tcp + off:]


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    data = open(argv[1], "rb").read()
    text = argv[2].encode()
    dropped = set()
    for _, frame in frames(data):
        e = endpoints(frame)
        if e and text in e[1]:
            key = e[0]
            dropped.add(key)
            dropped.add((key[2], key[3], key[0], key[1]))
    if not dropped:
        print("no connection sent %r" % argv[2], file=sys.stderr)
        return 1
    out = [data[:24]]
    for header, frame in frames(data):
        e = endpoints(frame)
        if e and e[0] in dropped:
            continue
        out.append(header + frame)
    open(argv[3], "wb").write(b"".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
