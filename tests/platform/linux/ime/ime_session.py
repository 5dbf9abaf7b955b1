"""A private desktop session for the composition probe's system tests.

Runs its own session dbus-daemon with an isolated HOME, the input-method daemons
under test, and the probe driver (ime_probe_check), whose path comes in the
IME_PROBE_CHECK environment variable. Nothing touches the caller's session.
"""
import os
import shutil
import signal
import subprocess
import tempfile
import time

from gi.repository import Gio, GLib

DISPLAY = ":93"
FCITX_PROFILE = """[Groups/0]
Name=Default
Default Layout=us
DefaultIM=hangul

[Groups/0/Items/0]
Name=hangul
Layout=

[GroupOrder]
0=Default
"""


def wait_until(predicate, timeout=10.0, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return False


class Probe:
    """The probe driver: one question per line, one answer per line."""

    def __init__(self, env, watching=()):
        self.proc = subprocess.Popen([os.environ["IME_PROBE_CHECK"]], env=env, text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert self.proc.stdout.readline().strip() == "ready"
        for framework in watching:
            assert self.wait_watching(framework), framework + " not watched"

    def wait_watching(self, framework, timeout_ms=10000):
        """Lets the probe's connection to `framework` (ibus, fcitx) come up."""
        return self._ask("w %s %d" % (framework, timeout_ms))[0] == "1"

    def _ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().split()

    def marked(self):
        return self._ask("q")[0] == "1"

    def timed(self):
        """(answer, microseconds)"""
        words = self._ask("q")
        return words[0] == "1", int(words[1])

    def after_key(self, timeout_ms=2000):
        """Waits until the probe sees a key waiting for its outcome, then asks.
        (answer, microseconds the question took, key seen)"""
        words = self._ask("k %d" % timeout_ms)
        return words[0] == "1", int(words[1]), words[2] == "1"

    def settles_on(self, expected, timeout=6.0, pump=None):
        """True once the answer is `expected` (a value or a callable giving it)."""
        def check():
            if pump:
                pump()
            want = expected() if callable(expected) else expected
            return self.marked() == want
        return wait_until(check, timeout)

    def stays(self, expected, duration=0.5):
        end = time.monotonic() + duration
        while time.monotonic() < end:
            if self.marked() != expected:
                return False
            time.sleep(0.02)
        return True

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()


class Session:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="sendhold-ime-")
        home = os.path.join(self.dir, "home")
        run = os.path.join(self.dir, "run")
        os.makedirs(home)
        os.makedirs(run, mode=0o700)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("DBUS_", "IBUS_", "XDG_", "WAYLAND_", "GTK_IM", "QT_IM"))}
        env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"), XDG_RUNTIME_DIR=run,
                   GSETTINGS_BACKEND="memory", DISPLAY=DISPLAY, NO_AT_BRIDGE="1")
        self.dbus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                     env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        env["DBUS_SESSION_BUS_ADDRESS"] = self.dbus.stdout.readline().strip()
        self.env = env
        # The test's own clients live in this process and find everything
        # through the same environment.
        os.environ.clear()
        os.environ.update(env)
        self.bus = Gio.DBusConnection.new_for_address_sync(
            env["DBUS_SESSION_BUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        self.probes = []
        self.fcitx = None

    # --- IBus ---------------------------------------------------------------
    def ibus_address_file(self):
        machine = "machine-id"  # what IBus uses when neither file exists
        for path in ("/etc/machine-id", "/var/lib/dbus/machine-id"):
            try:
                with open(path) as f:
                    machine = f.read().strip() or machine
            except OSError:
                pass
        return os.path.join(self.env["XDG_CONFIG_HOME"], "ibus", "bus",
                            "%s-unix-%s" % (machine, DISPLAY[1:]))

    def ibus_file(self):
        try:
            with open(self.ibus_address_file()) as f:
                pairs = [l.strip().split("=", 1) for l in f if "=" in l and not l.startswith("#")]
            return dict(pairs)
        except OSError:
            return {}

    def start_ibus(self):
        # ibus-hangul starts in Latin mode unless told otherwise, through
        # GSettings: give the daemon (and the engine it spawns) a key file.
        settings = os.path.join(self.env["XDG_CONFIG_HOME"], "glib-2.0", "settings")
        os.makedirs(settings, exist_ok=True)
        with open(os.path.join(settings, "keyfile"), "w") as f:
            f.write("[org/freedesktop/ibus/engine/hangul]\ninitial-input-mode='hangul'\n")
        env = dict(self.env, GSETTINGS_BACKEND="keyfile")
        before = self.ibus_file().get("IBUS_DAEMON_PID")
        subprocess.run(["ibus-daemon", "--daemonize", "--panel=disable", "--replace",
                        "--config=/usr/libexec/ibus-memconf"], env=env, check=True)
        assert wait_until(lambda: self.ibus_file().get("IBUS_DAEMON_PID") not in (None, before)), \
            "ibus-daemon did not publish its address"
        os.environ["IBUS_ADDRESS"] = self.ibus_file()["IBUS_ADDRESS"]
        return int(self.ibus_file()["IBUS_DAEMON_PID"])

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
        reply = self.bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner",
                                   GLib.Variant("(s)", (name,)), None, 0, 2000, None)
        return reply.unpack()[0]

    def start_fcitx(self):
        config = os.path.join(self.env["XDG_CONFIG_HOME"], "fcitx5")
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "profile"), "w") as f:
            f.write(FCITX_PROFILE)
        env = dict(self.env)
        env.pop("DISPLAY")
        self.fcitx = subprocess.Popen(
            ["fcitx5", "--disable=all", "--enable=dbus,dbusfrontend,keyboard,hangul"], env=env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Never call Fcitx5 before it owns its name: that would activate a second one.
        assert wait_until(lambda: self.has_name("org.fcitx.Fcitx5"), 20), "fcitx5 did not start"

    def kill_fcitx(self):
        if self.fcitx and self.fcitx.poll() is None:
            self.fcitx.kill()
            self.fcitx.wait()
        wait_until(lambda: not self.has_name("org.fcitx.Fcitx5"), 5)

    # --- the probe ----------------------------------------------------------
    def start_probe(self, watching, extra_env=None):
        """Starts the probe and waits until it watches the frameworks named."""
        env = dict(self.env)
        env.update(extra_env or {})
        probe = Probe(env, watching)
        self.probes.append(probe)
        return probe

    def close(self):
        for probe in self.probes:
            probe.close()
        self.kill_fcitx()
        self.kill_ibus()
        self.dbus.terminate()
        self.dbus.wait()
        self.dbus.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)
