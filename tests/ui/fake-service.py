#!/usr/bin/env python3
"""A stand-in keyboard service for the desktop checks.

Usage: fake-service.py SOCKET LOG

Answers every client's HELLO with "STATUS guarding" and appends each GUARD
line it hears to LOG as "<CLOCK_MONOTONIC ns> on|off", so that a check can
follow the guard the tray app asks for, and when it asked.
"""
import os
import selectors
import socket
import sys
import time

path, log_path = sys.argv[1], sys.argv[2]
if os.path.exists(path):
    os.unlink(path)
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(path)
server.listen(4)
log = open(log_path, "a", buffering=1)
chosen = selectors.DefaultSelector()
chosen.register(server, selectors.EVENT_READ)
pending = {}

while True:
    for key, _ in chosen.select():
        if key.fileobj is server:
            client, _ = server.accept()
            pending[client] = b""
            chosen.register(client, selectors.EVENT_READ)
            continue
        client = key.fileobj
        data = client.recv(4096)
        now = time.monotonic_ns()
        if not data:
            chosen.unregister(client)
            client.close()
            del pending[client]
            continue
        pending[client] += data
        *lines, pending[client] = pending[client].split(b"\n")
        for line in lines:
            words = line.decode(errors="replace").split()
            if words[:1] == ["HELLO"]:
                client.sendall(b"STATUS guarding\n")
            elif words[:1] == ["GUARD"] and len(words) == 2:
                log.write(f"{now} {words[1]}\n")
