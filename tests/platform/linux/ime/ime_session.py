"""A private desktop session for the composition probe's system tests.

Runs its own session dbus-daemon with an isolated HOME, the input-method daemons
under test, and the probe driver (ime_probe_check), whose path comes in the
IME_PROBE_CHECK environment variable. Nothing touches the caller's session.
Also holds the cases every framework must pass (CompositionCases).
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from gi.repository import Gio, GLib

DISPLAY = ":93"
RETURN, BACKSPACE = 0xff0d, 0xff08
FCITX_PROFILE = ("[Groups/0]\nName=Default\nDefault Layout=us\nDefaultIM=hangul\n"
                 "[Groups/0/Items/0]\nName=hangul\nLayout=\n[GroupOrder]\n0=Default\n")


def wait_until(predicate, timeout=10.0, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return False


def read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return ""


def connect(address):
    return Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)


def bus_call(conn, member, *args, signature="(s)"):
    return conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          member, GLib.Variant(signature, args), None, 0, 5000, None).unpack()


def start_bus(env):
    """A private dbus-daemon: (process, address)."""
    proc = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return proc, proc.stdout.readline().strip()


def serve(name, setup):
    """For the fake daemons: connects to the bus in argv[2], lets `setup` register its
    objects, owns `name`, says "ready" and serves until killed."""
    conn = connect(sys.argv[2])
    setup(conn)
    bus_call(conn, "RequestName", name, 4, signature="(su)")
    print("ready", flush=True)
    GLib.MainLoop().run()


def stop(proc):
    if proc.poll() is None:
        proc.kill()
    proc.wait()
    for pipe in (proc.stdin, proc.stdout):
        if pipe:
            pipe.close()


class Probe:
    """The probe driver: one question per line, one answer per line."""

    def __init__(self, env, watching=()):
        self.proc = subprocess.Popen([os.environ["IME_PROBE_CHECK"]], env=env, text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert self.proc.stdout.readline().strip() == "ready"
        for framework in watching:
            assert self.wait_watching(framework), framework + " not watched"

    def _ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().split()

    def wait_watching(self, framework, timeout_ms=10000):
        """Lets the probe's connection to `framework` (ibus, fcitx) come up."""
        return self._ask("w %s %d" % (framework, timeout_ms))[0] == "1"

    def marked(self):
        return self._ask("q")[0] == "1"

    def after_key(self, timeout_ms=2000):
        """Waits until the probe sees a key waiting for its outcome, then asks.
        (answer, microseconds the question took, key seen)"""
        words = self._ask("k %d" % timeout_ms)
        return words[0] == "1", int(words[1]), words[2] == "1"

    def settles_on(self, expected, timeout=6.0):
        """True once the answer is `expected` (a value or a callable giving it)."""
        return wait_until(lambda: self.marked() == (expected() if callable(expected) else expected),
                          timeout)

    def stays(self, expected, duration=0.5):
        return not wait_until(lambda: self.marked() != expected, duration)


class Session:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="sendhold-ime-")
        home, run = os.path.join(self.dir, "home"), os.path.join(self.dir, "run")
        os.makedirs(home)
        os.makedirs(run, mode=0o700)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("DBUS_", "IBUS_", "XDG_", "WAYLAND_", "GTK_IM", "QT_IM"))}
        env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"), XDG_RUNTIME_DIR=run,
                   GSETTINGS_BACKEND="memory", DISPLAY=DISPLAY, NO_AT_BRIDGE="1")
        self.procs = []
        self.dbus, env["DBUS_SESSION_BUS_ADDRESS"] = self.start_bus(env)
        self.env = env
        # The test's own clients live in this process and find everything
        # through the same environment.
        os.environ.clear()
        os.environ.update(env)
        self.bus = connect(env["DBUS_SESSION_BUS_ADDRESS"])
        self.fcitx = None

    def start_bus(self, env=None):
        proc, address = start_bus(env or self.env)
        self.procs.append(proc)
        return proc, address

    def spawn_fake(self, role, address):
        """One of fake_ibus.py's roles on the bus at `address`, once it is ready."""
        proc = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__),
                                                              "fake_ibus.py"), role, address],
                                stdout=subprocess.PIPE, text=True, env=self.env)
        self.procs.insert(0, proc)
        assert proc.stdout.readline().strip() == "ready", role

    def config_file(self, path, text):
        path = os.path.join(self.env["XDG_CONFIG_HOME"], path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    # --- IBus ---------------------------------------------------------------
    def ibus_file(self):
        # IBus names the file after the machine id ("machine-id" when there is none).
        machine = next((i for i in map(read, ("/var/lib/dbus/machine-id", "/etc/machine-id")) if i),
                       "machine-id")
        text = read(os.path.join(self.env["XDG_CONFIG_HOME"], "ibus", "bus",
                                 "%s-unix-%s" % (machine, DISPLAY[1:])))
        return dict(l.strip().split("=", 1) for l in text.splitlines() if "=" in l and l[0] != "#")

    def start_ibus(self):
        # ibus-hangul starts in Latin mode unless told otherwise, through
        # GSettings: give the daemon (and the engine it spawns) a key file.
        self.config_file("glib-2.0/settings/keyfile",
                         "[org/freedesktop/ibus/engine/hangul]\ninitial-input-mode='hangul'\n")
        before = self.ibus_file().get("IBUS_DAEMON_PID")
        subprocess.run(["ibus-daemon", "--daemonize", "--panel=disable", "--replace",
                        "--config=/usr/libexec/ibus-memconf"],
                       env=dict(self.env, GSETTINGS_BACKEND="keyfile"), check=True)
        assert wait_until(lambda: self.ibus_file().get("IBUS_DAEMON_PID") not in (None, before)), \
            "ibus-daemon did not publish its address"
        os.environ["IBUS_ADDRESS"] = self.ibus_file()["IBUS_ADDRESS"]
        return os.environ["IBUS_ADDRESS"]

    def kill_ibus(self):
        pid = int(self.ibus_file().get("IBUS_DAEMON_PID", "0"))
        if pid > 0:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                return
            wait_until(lambda: not os.path.exists("/proc/%d" % pid), 5)

    # --- Fcitx5 -------------------------------------------------------------
    def has_name(self, name):
        return bus_call(self.bus, "NameHasOwner", name)[0]

    def start_fcitx(self):
        self.config_file("fcitx5/profile", FCITX_PROFILE)
        env = dict(self.env)
        env.pop("DISPLAY")
        self.fcitx = subprocess.Popen(
            ["fcitx5", "--disable=all", "--enable=dbus,dbusfrontend,keyboard,hangul"], env=env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Never call Fcitx5 before it owns its name: that would activate a second one.
        assert wait_until(lambda: self.has_name("org.fcitx.Fcitx5"), 20), "fcitx5 did not start"

    def kill_fcitx(self):
        if self.fcitx:
            stop(self.fcitx)
        wait_until(lambda: not self.has_name("org.fcitx.Fcitx5"), 5)

    # --- the probe ----------------------------------------------------------
    def start_probe(self, watching, extra_env=None):
        """Starts the probe and waits until it watches the frameworks named."""
        probe = Probe(dict(self.env, **(extra_env or {})), watching)
        self.procs.insert(0, probe.proc)
        return probe

    def close(self):
        self.kill_fcitx()
        self.kill_ibus()
        for proc in self.procs:
            stop(proc)
        shutil.rmtree(self.dir, ignore_errors=True)


class CompositionCases:
    """What the probe must tell of every framework, driven through Korean input.
    A subclass names `framework`, makes contexts (focus, focus_out, type, key)
    and kills its daemon."""

    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)

    def start_probe(self):
        return self.session.start_probe([self.framework])

    def lifecycle(self, **context_options):
        probe = self.start_probe()
        a = self.context("a", **context_options)
        a.focus()
        self.assertTrue(probe.stays(False, 0.2))
        a.type("r")
        self.assertTrue(probe.settles_on(True), "composition began")
        a.type("k")
        self.assertTrue(probe.stays(True, 0.2))
        a.key(RETURN)
        self.assertTrue(probe.settles_on(False), "committed")
        a.type("gk")
        self.assertTrue(probe.settles_on(True))
        a.key(BACKSPACE)
        self.assertTrue(probe.stays(True, 0.2), "one jamo left")
        a.key(BACKSPACE)
        self.assertTrue(probe.settles_on(False), "cancelled")

    def test_focus_moves_between_contexts(self):
        probe = self.start_probe()
        a, b = self.context("a"), self.context("b")
        a.focus()
        a.type("r")
        self.assertTrue(probe.settles_on(True))
        b.focus()
        self.assertTrue(probe.settles_on(False), "b holds nothing")
        b.type("dk")
        self.assertTrue(probe.settles_on(True), "b composes")
        self.back_and_forth(probe, a, b)
        b.focus_out()
        self.assertTrue(probe.settles_on(False), "nothing focused")

    def back_and_forth(self, probe, a, b):
        pass

    def test_daemon_killed(self):
        probe = self.start_probe()
        a = self.context("a")
        a.focus()
        a.type("r")
        self.assertTrue(probe.settles_on(True))
        self.kill_daemon()
        self.assertTrue(probe.settles_on(False), "daemon killed")
        self.after_restart(probe)

    def after_restart(self, probe):
        pass

    def test_started_during_a_composition(self):
        a = self.context("a")
        a.focus()
        a.type("r")
        time.sleep(0.3)  # the composition's updates are out before the probe starts
        probe = self.start_probe()
        self.assertTrue(probe.stays(False, 0.5), "neither focus nor preedit was seen")
        a.type("k")
        self.assertTrue(probe.settles_on(True), "the next key tells")
