#!/usr/bin/env python3
"""A minimal HTTP CONNECT proxy on 127.0.0.1 for tests: connect_proxy.py STATE_DIR

Writes the port it listens on to STATE_DIR/proxy-port and one line "CONNECT HOST:PORT" per
tunnel to STATE_DIR/proxy.log; tunnels only to 127.0.0.1 and refuses anything else (403).
Serves until killed.
"""
import os
import select
import socket
import sys
import threading


def tunnel(client, state):
    try:
        request = b""
        while b"\r\n\r\n" not in request and len(request) < 8192:
            chunk = client.recv(4096)
            if not chunk:
                return
            request += chunk
        line = request.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split()
        with open(os.path.join(state, "proxy.log"), "a") as log:
            log.write(" ".join(parts[:2]) + "\n")
        if len(parts) < 2 or parts[0] != "CONNECT" or not parts[1].startswith("127.0.0.1:"):
            client.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
            return
        upstream = socket.create_connection(("127.0.0.1", int(parts[1].split(":")[1])), timeout=10)
        client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
        sockets = [client, upstream]
        while True:
            ready, _, _ = select.select(sockets, [], [], 30)
            if not ready:
                return
            for s in ready:
                data = s.recv(65536)
                if not data:
                    return
                (upstream if s is client else client).sendall(data)
    except OSError:
        pass
    finally:
        client.close()


def main():
    state = sys.argv[1]
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    with open(os.path.join(state, "proxy-port.tmp"), "w") as f:
        f.write("%d\n" % server.getsockname()[1])
    os.replace(os.path.join(state, "proxy-port.tmp"), os.path.join(state, "proxy-port"))
    while True:
        client, _ = server.accept()
        threading.Thread(target=tunnel, args=(client, state), daemon=True).start()


if __name__ == "__main__":
    main()
