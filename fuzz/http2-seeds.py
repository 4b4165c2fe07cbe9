#!/usr/bin/env python3
"""Writes the http2 fuzz target's seeds from the HTTP/2 test captures: for each
tests/data/tls/h2-NAME with a key log, fuzz/corpus/http2/h2-NAME holds the decrypted bytes as
tshark follows them (one chunk per record, in capture order, client 0 and server 1, see
http2_fuzz.cpp), up to about 12 kB: the preface, the settings and the first requests and
responses; the rest is more DATA.

Usage: fuzz/http2-seeds.py [CAPTURE_FOLDER] [OUT_FOLDER]"""
import os
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "tests", "data", "tls")
OUT = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "fuzz", "corpus", "http2")

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


def records(pcap, keys):
    """(direction, bytes) of the first TLS stream's plaintext, in order."""
    text = subprocess.run(["tshark", "-r", pcap, "-o", "tls.keylog_file:" + keys, "-q", "-z",
                           "follow,tls,raw,0"], capture_output=True, text=True, check=True).stdout
    out = []
    client_tabbed = None
    for line in text.splitlines():
        tabbed = line.startswith("\t")
        hexes = line.strip()
        if not hexes or any(c not in "0123456789abcdef" for c in hexes):
            continue
        data = bytes.fromhex(hexes)
        if client_tabbed is None:
            client_tabbed = tabbed if data.startswith(PREFACE) else not tabbed
        out.append((0 if tabbed == client_tabbed else 1, data))
    return out


def chunk(kind, body):
    body = bytes([kind]) + body
    return struct.pack(">H", len(body)) + body


os.makedirs(OUT, exist_ok=True)
for name in sorted(os.listdir(SRC)):
    base = name[:-5]
    keys = os.path.join(SRC, base + ".keys")
    if not name.startswith("h2-") or not name.endswith(".pcap") or not os.path.exists(keys):
        continue
    seed = b""
    for d, data in records(os.path.join(SRC, name), keys):
        if len(seed) > 12000:
            break
        seed += chunk(d, data)
    with open(os.path.join(OUT, base), "wb") as f:
        f.write(seed)
    print(f"{base}: {len(seed)} bytes")
