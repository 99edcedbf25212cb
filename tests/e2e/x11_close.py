#!/usr/bin/env python3
"""Asks an X window to close, as a window manager does when the user clicks its close box.

Usage: x11_close.py WINDOW_ID   (decimal or 0x-hexadecimal; the display is $DISPLAY)

Sends the window a WM_PROTOCOLS client message holding WM_DELETE_WINDOW, then waits for a
round trip so that the server has delivered it before this returns. Speaks the X11 protocol
on the local socket itself, so the test needs no window manager and no X library for Python.
Exit status 0 when the message was sent, 1 on any failure (with a message on stderr).
"""
import os
import socket
import struct
import sys


def fail(message):
    sys.stderr.write("x11_close: %s\n" % message)
    sys.exit(1)


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            fail("the X server closed the connection")
        data += chunk
    return data


def pad(data):
    return data + b"\0" * (-len(data) % 4)


def read_reply(sock):
    """Returns the next 32-byte reply, skipping events; fails on an error packet."""
    while True:
        packet = read_exactly(sock, 32)
        if packet[0] == 0:
            fail("the X server reported error %d" % packet[1])
        if packet[0] == 1:
            extra = struct.unpack_from("<I", packet, 4)[0]
            read_exactly(sock, extra * 4)
            return packet


def intern_atom(sock, name):
    encoded = name.encode("ascii")
    body = struct.pack("<H2x", len(encoded)) + pad(encoded)
    sock.sendall(struct.pack("<BBH", 16, 0, 1 + len(body) // 4) + body)
    return struct.unpack_from("<I", read_reply(sock), 8)[0]


def main():
    if len(sys.argv) != 2:
        fail("usage: x11_close.py WINDOW_ID")
    window = int(sys.argv[1], 0)
    display = os.environ.get("DISPLAY", "")
    if not display.startswith(":"):
        fail("DISPLAY must name a local display such as :99, not %r" % display)
    number = display[1:].split(".")[0]

    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect("/tmp/.X11-unix/X" + number)
    # Connection set-up, little-endian, protocol 11.0, no authorisation (a local Xvfb).
    sock.sendall(struct.pack("<BxHHHH2x", 0x6C, 11, 0, 0, 0))
    head = read_exactly(sock, 8)
    extra = struct.unpack_from("<H", head, 6)[0]
    read_exactly(sock, extra * 4)
    if head[0] != 1:
        fail("the X server refused the connection")

    protocols = intern_atom(sock, "WM_PROTOCOLS")
    delete = intern_atom(sock, "WM_DELETE_WINDOW")
    # ClientMessage, format 32: WM_PROTOCOLS with data WM_DELETE_WINDOW, CurrentTime.
    event = struct.pack("<BBHII5I", 33, 32, 0, window, protocols, delete, 0, 0, 0, 0)
    # SendEvent with no event mask: delivered to the client that created the window.
    sock.sendall(struct.pack("<BBHII", 25, 0, 11, window, 0) + event)
    # GetInputFocus as a round trip: its reply comes after the SendEvent was processed.
    sock.sendall(struct.pack("<BxH", 43, 1))
    read_reply(sock)
    sock.close()


if __name__ == "__main__":
    main()
