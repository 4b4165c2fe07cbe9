#!/usr/bin/env python3
"""Writes the tls fuzz target's seeds from the HTTPS test captures: for each tests/data/tls/NAME,
fuzz/corpus/tls/NAME holds the switches byte (read with keys), the key log as one chunk, then the
connection's bytes in capture order, each segment a chunk of its direction (tls_fuzz.cpp), up to
about 12 kB: the handshake and the first exchanges; the rest is more of the same records.

Usage: fuzz/tls-seeds.py [CAPTURE_FOLDER] [OUT_FOLDER]"""
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "tests", "data", "tls")
OUT = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "fuzz", "corpus", "tls")


def segments(path):
    """(direction, payload) of the first connection's TCP segments, each byte once, in order."""
    with open(path, "rb") as f:
        data = f.read()
    magic = struct.unpack("<I", data[:4])[0]
    endian = "<" if magic == 0xA1B2C3D4 else ">"
    at = 24
    client = None
    nxt = [None, None]
    while at + 16 <= len(data):
        _, _, caplen, _ = struct.unpack(endian + "IIII", data[at:at + 16])
        frame = data[at + 16:at + 16 + caplen]
        at += 16 + caplen
        if len(frame) < 34 or frame[12:14] != b"\x08\x00" or frame[23] != 6:
            continue
        ihl = (frame[14] & 15) * 4
        total = struct.unpack(">H", frame[16:18])[0]
        tcp = frame[14 + ihl:14 + total]
        sport, dport, seq = struct.unpack(">HHI", tcp[:8])
        flags = tcp[13]
        payload = tcp[(tcp[12] >> 4) * 4:]
        if client is None:
            if flags & 0x12 != 0x02:
                continue
            client = sport
        d = 0 if sport == client else 1 if dport == client else None
        if d is None:
            continue
        if flags & 0x02:
            nxt[d] = (seq + 1) & 0xFFFFFFFF
            continue
        if not payload or nxt[d] is None or seq != nxt[d]:
            continue  # loopback captures carry no holes; a repeat is dropped
        nxt[d] = (seq + len(payload)) & 0xFFFFFFFF
        yield d, payload


def chunk(kind, body):
    body = bytes([kind]) + body
    return struct.pack(">H", len(body)) + body


os.makedirs(OUT, exist_ok=True)
for name in sorted(os.listdir(SRC)):
    if not name.endswith(".pcap"):
        continue
    base = name[:-5]
    keys = os.path.join(SRC, base + ".keys")
    seed = b"\x00"  # a session kept without its key log reads without one
    if os.path.exists(keys):
        with open(keys, "rb") as f:
            seed = b"\x01" + chunk(4, f.read())
    for d, payload in segments(os.path.join(SRC, name)):
        if len(seed) > 12000:
            break
        seed += chunk(d, payload)
    with open(os.path.join(OUT, base), "wb") as f:
        f.write(seed)
    print(f"{base}: {len(seed)} bytes")
