#!/usr/bin/env python3
"""The client's end of a TLS leg, for players that cannot read a stream over TLS themselves:
accepts plaintext on LISTEN_PORT and carries each connection's bytes both ways, unchanged, over
TLS to 127.0.0.1:TARGET_PORT, writing the session keys to KEYLOG (the SSLKEYLOGFILE format).
Prints "ready" once it listens.

Usage: tls-originate.py LISTEN_PORT TARGET_PORT KEYLOG"""
import select
import socket
import ssl
import sys
import threading


def send(sock, data):
    while data:
        try:
            data = data[sock.send(data):]
        except (ssl.SSLWantWriteError, ssl.SSLWantReadError, BlockingIOError):
            select.select([], [sock], [], 1)


def serve(conn, context, target):
    # One thread per connection reads both ends: an SSL socket read and written from two threads
    # at once stalls.
    try:
        upstream = context.wrap_socket(socket.create_connection(("127.0.0.1", target)))
    except OSError:
        conn.close()
        return
    conn.setblocking(False)
    upstream.setblocking(False)
    open_ends = {conn: upstream, upstream: conn}
    try:
        while open_ends:
            ready = [upstream] if upstream in open_ends and upstream.pending() else []
            if not ready:
                ready, _, _ = select.select(list(open_ends), [], [], 30)
                if not ready:
                    break
            for src in ready:
                try:
                    data = src.recv(65536)
                except (ssl.SSLWantReadError, ssl.SSLWantWriteError, BlockingIOError):
                    continue
                dst = open_ends[src]
                if not data:
                    del open_ends[src]
                    try:
                        dst.shutdown(socket.SHUT_WR)
                    except (OSError, ValueError):
                        pass
                    continue
                send(dst, data)
    except OSError:
        pass
    conn.close()
    upstream.close()


def main():
    listen_port, target = int(sys.argv[1]), int(sys.argv[2])
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.keylog_filename = sys.argv[3]
    server = socket.create_server(("127.0.0.1", listen_port))
    print("ready", flush=True)
    while True:
        conn, _ = server.accept()
        threading.Thread(target=serve, args=(conn, context, target), daemon=True).start()


if __name__ == "__main__":
    main()
