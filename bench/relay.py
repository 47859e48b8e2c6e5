#!/usr/bin/env python3
"""A loopback TCP relay in front of a server that breaks the first few
connections a set number of bytes into what the server sends back.

    relay.py TARGET_PORT DROPS EVERY   prints its own port, relays until killed

Connections 1..DROPS are closed after EVERY bytes from the server; later
ones are relayed whole.
"""
import socket
import sys
import threading


def pump(src, dst, limit=None):
    sent = 0
    try:
        while limit is None or sent < limit:
            data = src.recv(min(65536, limit - sent) if limit else 65536)
            if not data:
                break
            dst.sendall(data)
            sent += len(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main():
    target, drops, every = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    listener = socket.create_server(("127.0.0.1", 0))
    print(listener.getsockname()[1], flush=True)
    count = 0
    while True:
        client, _ = listener.accept()
        count += 1
        server = socket.create_connection(("127.0.0.1", target))
        limit = every if count <= drops else None
        threading.Thread(target=pump, args=(client, server), daemon=True).start()
        threading.Thread(target=pump, args=(server, client, limit), daemon=True).start()


if __name__ == "__main__":
    main()
