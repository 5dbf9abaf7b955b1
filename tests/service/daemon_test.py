#!/usr/bin/env python3
# sendholdd on a fake seat owned by this uid: a client that says HELLO steers;
# a bad line closes only its own connection; SIGTERM ends it cleanly.
import os, re, signal, socket, subprocess, sys, tempfile, time

with tempfile.TemporaryDirectory() as seat:
    os.makedirs(f"{seat}/seats"), os.makedirs(f"{seat}/sessions")
    open(f"{seat}/seats/seat0", "w").write(f"ACTIVE=c1\nACTIVE_UID={os.getuid()}\n")
    open(f"{seat}/sessions/c1", "w").write(f"UID={os.getuid()}\nREMOTE=0\nSEAT=seat0\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("INVOCATION", "NOTIFY", "LISTEN"))}
    daemon = subprocess.Popen([sys.argv[1], "--listen", f"{seat}/s"], stderr=subprocess.PIPE,
                              text=True, env=dict(env, SENDHOLD_TEST_SEAT_DIR=seat))
    while not os.path.exists(f"{seat}/s") and daemon.poll() is None:
        time.sleep(0.02)

    def client(line):
        s = socket.socket(socket.AF_UNIX)
        s.settimeout(5)
        s.connect(f"{seat}/s")
        s.sendall(line.encode())
        return s, s.makefile()

    a, a_in = client("HELLO 1\n")
    assert re.fullmatch(r"STATUS (guarding|no-keyboards .+)\n", a_in.readline())
    b, b_in = client("GUARD maybe\n")
    assert b_in.readline() == "REFUSED malformed message\n" and b_in.readline() == ""
    c, c_in = client("HELLO 1\n")
    assert a_in.readline() == "STATUS standby a newer client steers\n"
    daemon.send_signal(signal.SIGTERM)
    assert daemon.wait(5) == 0
    errors = daemon.stderr.read().splitlines()
    assert all(line.startswith("sendhold: ") for line in errors), errors
    assert any(line.endswith("): malformed message") for line in errors), errors
