#!/usr/bin/env python3
"""Web server for the test captures: Python's http.server serving a folder, plus POST.

Usage: http-server.py PORT FOLDER [ADDRESS]
ADDRESS (default 127.0.0.1) is the address to listen on; "::1" listens on IPv6 loopback.
GET and HEAD serve files as http.server does; POST reads the body and answers with a short
text naming how many bytes came. Prints "ready" on stdout once it listens; runs until SIGTERM.
"""
import functools
import http.server
import signal
import socket
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        remaining = length
        while remaining > 0:
            part = self.rfile.read(min(remaining, 65536))
            if not part:
                break
            remaining -= len(part)
        body = ("received %d bytes\n" % (length - remaining)).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    address = argv[3] if len(argv) == 4 else "127.0.0.1"
    handler = functools.partial(Handler, directory=argv[2])
    server_class = http.server.ThreadingHTTPServer
    if ":" in address:
        server_class = type("Server6", (server_class,), {"address_family": socket.AF_INET6})
    server = server_class((address, int(argv[1])), handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("ready", flush=True)
    try:
        server.serve_forever()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
