#!/usr/bin/env python3
"""A picture of KWin's whole workspace through its ScreenShot2 interface.

Usage: kwin-shot.py PICTURE.png

KWin writes the raw image into a pipe it is handed and answers with its
size and layout; ImageMagick turns it into PNG. KWin answers only trusted
callers unless started with KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1.
"""
import os
import subprocess
import sys
import threading

from gi.repository import Gio, GLib

read_end, write_end = os.pipe()
data = bytearray()
reader = threading.Thread(target=lambda: data.extend(iter_pipe()), daemon=True)


def iter_pipe():
    while chunk := os.read(read_end, 1 << 16):
        yield from chunk


reader.start()
fds = Gio.UnixFDList.new_from_array([write_end])
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
reply, _ = bus.call_with_unix_fd_list_sync(
    "org.kde.KWin", "/org/kde/KWin/ScreenShot2", "org.kde.KWin.ScreenShot2",
    "CaptureWorkspace", GLib.Variant("(a{sv}h)", ({}, 0)), GLib.VariantType("(a{sv})"),
    Gio.DBusCallFlags.NONE, 10000, fds, None)
for fd in fds.steal_fds():
    os.close(fd)  # our copy of the write end: KWin's closing it ends the data
reader.join(10)
meta = reply.unpack()[0]
width, height, stride = meta["width"], meta["height"], meta["stride"]
if meta.get("type", "raw") != "raw" or len(data) < stride * height:
    sys.exit(f"kwin-shot: {len(data)} bytes for {meta}")
# QImage's 32-bit formats lie in memory as B, G, R, A on little-endian machines.
rows = b"".join(data[y * stride:y * stride + width * 4] for y in range(height))
subprocess.run(["convert", "-size", f"{width}x{height}", "-depth", "8", "bgra:-",
                "-alpha", "off", sys.argv[1]], input=rows, check=True)
