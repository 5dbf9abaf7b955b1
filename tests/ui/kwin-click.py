#!/usr/bin/env python3
"""A pointer click in KWin through its fake input protocol, for the KDE check.

Usage: kwin-click.py X Y [left|right]

Speaks the Wayland wire format itself (no client library needed): binds
org_kde_kwin_fake_input, moves the pointer to X, Y and presses and releases
the button. KWin grants the protocol to any client only when started with
KWIN_WAYLAND_NO_PERMISSION_CHECKS=1.
"""
import os
import socket
import struct
import sys
import time

BUTTONS = {"left": 0x110, "right": 0x111}  # BTN_LEFT, BTN_RIGHT
x, y = float(sys.argv[1]), float(sys.argv[2])
button = BUTTONS[sys.argv[3] if len(sys.argv) > 3 else "left"]

path = os.path.join(os.environ["XDG_RUNTIME_DIR"], os.environ["WAYLAND_DISPLAY"])
wl = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
wl.connect(path)


def text(s):
    raw = s.encode() + b"\0"
    return struct.pack("=I", len(raw)) + raw + b"\0" * (-len(raw) % 4)


def send(obj, opcode, args=b""):
    wl.sendall(struct.pack("=II", obj, (8 + len(args)) << 16 | opcode) + args)


def fixed(v):
    return struct.pack("=i", round(v * 256))


buffered = b""


def events_until_done(callback):
    """Yields (object, opcode, body) until the callback's done event."""
    global buffered
    while True:
        while len(buffered) < 8 or len(buffered) < struct.unpack_from("=II", buffered)[1] >> 16:
            chunk = wl.recv(65536)
            if not chunk:
                sys.exit("kwin-click: KWin closed the connection")
            buffered += chunk
        obj, word = struct.unpack_from("=II", buffered)
        size = word >> 16
        body, buffered = buffered[8:size], buffered[size:]
        if obj == 1 and word & 0xFFFF == 0:  # wl_display.error
            sys.exit(f"kwin-click: protocol error {struct.unpack_from('=II', body, 4)}")
        if obj == callback:
            return
        yield obj, word & 0xFFFF, body


next_id = 3


def roundtrip():
    """Returns once KWin has handled every request sent before; yields nothing."""
    global next_id
    callback, next_id = next_id, next_id + 1
    send(1, 0, struct.pack("=I", callback))  # wl_display.sync
    return list(events_until_done(callback))


send(1, 1, struct.pack("=I", 2))  # wl_display.get_registry -> 2
fake = None
for obj, opcode, body in roundtrip():
    if obj == 2 and opcode == 0:  # wl_registry.global(name, interface, version)
        name, length = struct.unpack_from("=II", body)
        if body[8:8 + length - 1] == b"org_kde_kwin_fake_input":
            fake = name, struct.unpack_from("=I", body, 8 + length + (-length % 4))[0]
if fake is None:
    sys.exit("kwin-click: KWin offers no org_kde_kwin_fake_input")
name, version = fake
fake_id, next_id = next_id, next_id + 1
send(2, 0, struct.pack("=I", name) + text("org_kde_kwin_fake_input") + struct.pack("=II", min(version, 4), fake_id))
send(fake_id, 0, text("Sendhold check") + text("clicks in a test session"))  # authenticate
# The pointer rests before each step: the panel reacts to hover before the press.
for opcode, args in ((9, fixed(x) + fixed(y)),  # pointer_motion_absolute
                     (2, struct.pack("=II", button, 1)), (2, struct.pack("=II", button, 0))):
    send(fake_id, opcode, args)
    roundtrip()
    time.sleep(0.1)
