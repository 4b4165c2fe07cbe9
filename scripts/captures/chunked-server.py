#!/usr/bin/env python3
"""HTTP/1.1 keep-alive server for the recording captures: every body goes out chunked, in
chunks of uneven sizes; playlists are gzip-encoded (players decode it unasked).

Usage: chunked-server.py PORT FOLDER
Prints "ready" on stdout once it listens; runs until SIGTERM.
"""
import gzip
import http.server
import os
import signal
import sys

SIZES = [1000, 3, 7000, 1, 65536, 512]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    folder = "."

    def log_message(self, *args):
        pass

    def do_GET(self):
        path = os.path.normpath(self.path.split("?", 1)[0]).lstrip("/")
        full = os.path.join(self.folder, path)
        if ".." in path.split("/") or not os.path.isfile(full):
            body = b"not found\n"
            self.send_response(404)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        data = open(full, "rb").read()
        self.send_response(200)
        if full.endswith(".m3u8"):
            self.send_header("Content-Type", "application/vnd.apple.mpegurl")
            data = gzip.compress(data)
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        at, i = 0, 0
        while at < len(data):
            n = SIZES[i % len(SIZES)]
            part = data[at:at + n]
            # Extensions on some chunk lines, as the grammar allows.
            ext = b";x=1" if i % 3 == 1 else b""
            self.wfile.write(b"%x%s\r\n%s\r\n" % (len(part), ext, part))
            at += n
            i += 1
        self.wfile.write(b"0\r\nX-Trailer: done\r\n\r\n")
        self.wfile.flush()


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    Handler.folder = argv[2]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", int(argv[1])), Handler)
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(0))
    print("ready", flush=True)
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
