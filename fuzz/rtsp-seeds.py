#!/usr/bin/env python3
"""Writes the rtsp target's seeds from the RTSP test captures: each capture's control bytes (TCP
to and from port 8554) and UDP datagrams in capture order, as the target's records, cut at
48 KB. Usage: fuzz/rtsp-seeds.py CAPTURE... OUTPUT_DIR"""
import os
import struct
import sys

LIMIT = 48 * 1024


def records(path):
    with open(path, "rb") as f:
        data = f.read()
    magic = struct.unpack("<I", data[:4])[0]
    endian = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    at = 24
    while at + 16 <= len(data):
        _, _, incl, _ = struct.unpack(endian + "IIII", data[at:at + 16])
        frame = data[at + 16:at + 16 + incl]
        at += 16 + incl
        if len(frame) < 34 or frame[12:14] != b"\x08\x00":
            continue
        ip = frame[14:]
        ihl = (ip[0] & 15) * 4
        total = struct.unpack(">H", ip[2:4])[0]
        body = ip[ihl:total]
        if ip[9] == 6 and len(body) >= 20:
            sport, dport = struct.unpack(">HH", body[:4])
            payload = body[(body[12] >> 4) * 4:]
            if payload and 8554 in (sport, dport):
                yield (1 if sport == 8554 else 0), payload
        elif ip[9] == 17 and len(body) >= 8:
            yield 3, body[:4] + body[8:]


def main():
    *captures, out = sys.argv[1:]
    os.makedirs(out, exist_ok=True)
    for path in captures:
        seed = bytearray()
        for kind, payload in records(path):
            record = bytes([kind]) + struct.pack(">H", len(payload)) + payload
            if len(seed) + len(record) > LIMIT:
                break
            seed += record
        name = os.path.basename(path).replace(".pcap", "")
        with open(os.path.join(out, name), "wb") as f:
            f.write(seed)


if __name__ == "__main__":
    main()
