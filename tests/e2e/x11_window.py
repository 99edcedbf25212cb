#!/usr/bin/env python3
"""Two things a test needs from an X window that xdotool does not offer.

  x11_window.py close WINDOW_ID
      Asks the window to close, as a window manager does when the user clicks its close box:
      sends it a WM_PROTOCOLS client message holding WM_DELETE_WINDOW, then waits for a round
      trip so that the server has delivered it before this returns.
  x11_window.py digest WINDOW_ID X Y WIDTH HEIGHT
      Prints the SHA-256 of the pixels of that rectangle of the window (client coordinates),
      so that a test can tell whether two parts of a window look alike, for example which of
      two radio buttons is drawn checked.

WINDOW_ID is decimal or 0x-hexadecimal; the display is $DISPLAY, a local one such as :99
without authorisation (a test's own Xvfb). Speaks the X11 protocol on the local socket itself,
so the tests need no window manager and no X library for Python. Exit status 0 on success, 1 on
any failure (with a message on stderr).
"""
import hashlib
import os
import socket
import struct
import sys


def fail(message):
    sys.stderr.write("x11_window: %s\n" % message)
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
    """Returns the next reply (its 32-byte head and what follows), skipping events; fails on
    an error packet."""
    while True:
        packet = read_exactly(sock, 32)
        if packet[0] == 0:
            fail("the X server reported error %d" % packet[1])
        if packet[0] == 1:
            extra = struct.unpack_from("<I", packet, 4)[0]
            return packet + read_exactly(sock, extra * 4)


def connect():
    display = os.environ.get("DISPLAY", "")
    if not display.startswith(":"):
        fail("DISPLAY must name a local display such as :99, not %r" % display)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect("/tmp/.X11-unix/X" + display[1:].split(".")[0])
    # Connection set-up, little-endian, protocol 11.0, no authorisation.
    sock.sendall(struct.pack("<BxHHHH2x", 0x6C, 11, 0, 0, 0))
    head = read_exactly(sock, 8)
    extra = struct.unpack_from("<H", head, 6)[0]
    read_exactly(sock, extra * 4)
    if head[0] != 1:
        fail("the X server refused the connection")
    return sock


def intern_atom(sock, name):
    encoded = name.encode("ascii")
    body = struct.pack("<H2x", len(encoded)) + pad(encoded)
    sock.sendall(struct.pack("<BBH", 16, 0, 1 + len(body) // 4) + body)
    return struct.unpack_from("<I", read_reply(sock), 8)[0]


def close(sock, window):
    protocols = intern_atom(sock, "WM_PROTOCOLS")
    delete = intern_atom(sock, "WM_DELETE_WINDOW")
    # ClientMessage, format 32: WM_PROTOCOLS with data WM_DELETE_WINDOW, CurrentTime.
    event = struct.pack("<BBHII5I", 33, 32, 0, window, protocols, delete, 0, 0, 0, 0)
    # SendEvent with no event mask: delivered to the client that created the window.
    sock.sendall(struct.pack("<BBHII", 25, 0, 11, window, 0) + event)
    # GetInputFocus as a round trip: its reply comes after the SendEvent was processed.
    sock.sendall(struct.pack("<BxH", 43, 1))
    read_reply(sock)


def digest(sock, window, x, y, width, height):
    # GetImage, ZPixmap format, all planes.
    sock.sendall(struct.pack("<BBHIhhHHI", 73, 2, 5, window, x, y, width, height, 0xFFFFFFFF))
    print(hashlib.sha256(read_reply(sock)[32:]).hexdigest())


def main():
    args = sys.argv[1:]
    if len(args) == 2 and args[0] == "close":
        sock = connect()
        close(sock, int(args[1], 0))
    elif len(args) == 6 and args[0] == "digest":
        numbers = [int(a, 0) for a in args[1:]]
        sock = connect()
        digest(sock, *numbers)
    else:
        fail("usage: x11_window.py close WINDOW | digest WINDOW X Y WIDTH HEIGHT")
    sock.close()


if __name__ == "__main__":
    main()
