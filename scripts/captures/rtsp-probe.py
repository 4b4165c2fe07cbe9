#!/usr/bin/env python3
"""Sends RTSP requests, one connection each, and prints each status line.

Usage: rtsp-probe.py HOST PORT "METHOD ADDRESS" ...
Each request goes out as "METHOD ADDRESS RTSP/1.0" with a CSeq, as a client that writes its
addresses in its own letter case would send it.
"""
import socket
import sys


def request(host, port, line, cseq):
    with socket.create_connection((host, port), timeout=5) as s:
        s.sendall(("%s RTSP/1.0\r\nCSeq: %d\r\nUser-Agent: rtsp-probe\r\n\r\n"
                   % (line, cseq)).encode())
        reply = b""
        while b"\r\n\r\n" not in reply:
            part = s.recv(4096)
            if not part:
                break
            reply += part
    return reply.split(b"\r\n", 1)[0].decode("latin-1")


def main(argv):
    if len(argv) < 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    host, port = argv[1], int(argv[2])
    for cseq, line in enumerate(argv[3:], 1):
        print("%s -> %s" % (line, request(host, port, line, cseq)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
