#!/usr/bin/env python3
"""A TLS server with a self-signed certificate for the tests of certificate checks.

Usage: tls_server.py CERT KEY PORTFILE. Listens on 127.0.0.1 on a port the system picks, writes
that port to PORTFILE, answers every request that completes a handshake with "HTTP/1.1 200 OK",
and exits when the test removes PORTFILE, or after two minutes at the latest. A file rather than
a pipe, because a Unix program started from a Windows program under Wine gets no pipes.
"""
import os
import socket
import ssl
import sys
import threading
import time

LIFETIME_S = 120


def serve(listener, context):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        threading.Thread(target=answer, args=(conn, context), daemon=True).start()


def answer(conn, context):
    try:
        with context.wrap_socket(conn, server_side=True) as tls:
            tls.recv(65536)
            tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
    except (OSError, ssl.SSLError):
        conn.close()


def main():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1], sys.argv[2])
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    threading.Thread(target=serve, args=(listener, context), daemon=True).start()
    port_file = sys.argv[3]
    with open(port_file + ".tmp", "w") as out:
        out.write("%d\n" % listener.getsockname()[1])
    os.replace(port_file + ".tmp", port_file)
    deadline = time.monotonic() + LIFETIME_S
    while os.path.exists(port_file) and time.monotonic() < deadline:
        time.sleep(0.05)


if __name__ == "__main__":
    main()
