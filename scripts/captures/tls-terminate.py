#!/usr/bin/env python3
"""TLS in front of a plaintext server, as a platform's ingest terminates RTMPS: accepts TLS on
LISTEN_PORT and passes each connection's bytes both ways, unchanged, to 127.0.0.1:TARGET_PORT.
Prints "ready" once it listens.

Usage: tls-terminate.py LISTEN_PORT TARGET_PORT CERT KEY [MAX_VERSION]   (MAX_VERSION: 1.2)"""
import socket
import ssl
import sys
import threading


def pipe(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    for s in (dst,):
        try:
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def serve(conn, target):
    try:
        conn.do_handshake()
        upstream = socket.create_connection(("127.0.0.1", target))
    except OSError:
        conn.close()
        return
    back = threading.Thread(target=pipe, args=(upstream, conn), daemon=True)
    back.start()
    pipe(conn, upstream)
    back.join(timeout=10)
    conn.close()
    upstream.close()


def main():
    listen_port, target = int(sys.argv[1]), int(sys.argv[2])
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[3], sys.argv[4])
    if len(sys.argv) > 5 and sys.argv[5] == "1.2":
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    server = socket.create_server(("127.0.0.1", listen_port))
    print("ready", flush=True)
    while True:
        raw, _ = server.accept()
        conn = context.wrap_socket(raw, server_side=True, do_handshake_on_connect=False)
        threading.Thread(target=serve, args=(conn, target), daemon=True).start()


if __name__ == "__main__":
    main()
