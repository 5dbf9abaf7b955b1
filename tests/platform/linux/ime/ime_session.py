"""A private desktop session for the composition probe's system tests: its own
session bus, HOME and settings, the input-method daemons and the probe driver
(ime_probe_check, path in IME_PROBE_CHECK). Runs as an unprivileged user, as
Mozc refuses root: started as root, it runs itself again as nobody."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

if os.getuid() == 0:
    os.execvp("setpriv", ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                          sys.executable] + sys.argv)

import gi  # noqa: E402

gi.require_version("IBus", "1.0")
from gi.repository import Gio, GLib, IBus  # noqa: E402

RETURN = 0xff0d
# evdev key codes: IBus engines read them, Fcitx5 takes them plus 8.
KEYCODES = {"r": 19, "k": 37, "a": 30, "i": 23, RETURN: 28}
SETTINGS = ("[org/freedesktop/ibus/engine/hangul]\ninitial-input-mode='hangul'\n"
            "[org/freedesktop/ibus/engine/anthy/common]\ninput-mode=0\n")
MOZC_IBUS = 'engines { name: "mozc-jp" longname: "Mozc" layout: "default" rank: 80 }\n' \
            "active_on_launch: True\n"
FCITX_PROFILE = ("[Groups/0]\nName=Default\nDefault Layout=us\nDefaultIM={0}\n"
                 "[Groups/0/Items/0]\nName={0}\nLayout=\n[GroupOrder]\n0=Default\n")


def wait_until(predicate, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return False


def pump():
    while GLib.MainContext.default().iteration(False):
        pass


def connect(address):
    return Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)


def call(conn, dest, path, iface, member, args=None):
    return conn.call_sync(dest, path, iface, member, args, None, 0, 5000, None).unpack()


def keyval(key):
    return key if isinstance(key, int) else ord(key)


class Probe:
    """The probe driver: one question per line, one answer per line."""

    def __init__(self, env):
        self.proc = subprocess.Popen([os.environ["IME_PROBE_CHECK"]], env=env, text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert self.proc.stdout.readline().strip() == "ready"

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().split()

    def watching(self, framework):
        return self.ask("w %s 10000" % framework) == ["1"]

    def marked(self):
        return self.ask("q")[0] == "1"

    def after_key(self):
        """Asks as soon as a key is seen waiting for its outcome: the answer."""
        words = self.ask("k 2000")
        assert words[2] == "1", "the probe saw the key go out"
        return words[0] == "1"

    def settles_on(self, expected, timeout=6.0):
        return wait_until(lambda: self.marked() == expected, timeout)

    def stays(self, expected, duration=0.3):
        return not wait_until(lambda: self.marked() != expected, duration)


class IBusContext:
    """An IBus client's input context, keeping its own view of its preedit."""

    def __init__(self, conn, engine):
        path = call(conn, "org.freedesktop.IBus", "/org/freedesktop/IBus", "org.freedesktop.IBus",
                    "CreateInputContext", GLib.Variant("(s)", ("test",)))[0]
        self.ic = IBus.InputContext.new(path, conn, None)
        self.ic.set_capabilities(IBus.Capabilite.PREEDIT_TEXT | IBus.Capabilite.FOCUS)
        self.text, self.engine = None, engine
        self.ic.connect("update-preedit-text", lambda _ic, t, _c, v: setattr(
            self, "text", t.get_text() if v else ""))
        self.focus_out = self.ic.focus_out

    def composing(self):
        pump()
        return bool(self.text)

    def focus(self):
        self.ic.focus_in()
        if self.engine:
            self.ic.set_engine(self.engine)
            self.engine = None
            # Ready once the engine said something to the context.
            wait_until(lambda: pump() or self.text is not None)

    def key(self, key):
        for state in (0, IBus.ModifierType.RELEASE_MASK):
            self.ic.process_key_event(keyval(key), KEYCODES[key], state)
        pump()


class FcitxContext:
    IC = "org.fcitx.Fcitx.InputContext1"

    def __init__(self, conn, batch):
        self.conn, self.batch = conn, batch
        self.path = call(conn, "org.fcitx.Fcitx5", "/org/freedesktop/portal/inputmethod",
                         "org.fcitx.Fcitx.InputMethod1", "CreateInputContext",
                         GLib.Variant("(a(ss))", ([("program", "test")],)))[0]
        # Preedit and formatted preedit, as fcitx5-gtk announces them.
        self.call("SetCapability", GLib.Variant("(t)", ((1 << 1) | (1 << 4),)))

    def call(self, member, args=None):
        call(self.conn, "org.fcitx.Fcitx5", self.path, self.IC, member, args)

    def focus(self):
        self.call("FocusIn")

    def focus_out(self):
        self.call("FocusOut")

    def key(self, key):
        for release in (False, True):
            self.call("ProcessKeyEventBatch" if self.batch else "ProcessKeyEvent",
                      GLib.Variant("(uuubu)", (keyval(key), KEYCODES[key] + 8, 0, release, 0)))


class Session:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="sendhold-ime-")
        home = os.path.join(self.dir, "home")
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("DBUS_", "IBUS_", "XDG_", "WAYLAND_", "GTK_IM", "QT_IM"))}
        env.update(HOME=home, XDG_CONFIG_HOME=home + "/.config", XDG_CACHE_HOME=home + "/.cache",
                   XDG_RUNTIME_DIR=self.dir, GSETTINGS_BACKEND="keyfile", DISPLAY=":93",
                   NO_AT_BRIDGE="1")
        self.config_file("glib-2.0/settings/keyfile", SETTINGS, env)
        self.config_file("mozc/ibus_config.textproto", MOZC_IBUS, env)
        self.dbus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                     env=env, stdout=subprocess.PIPE, text=True)
        env["DBUS_SESSION_BUS_ADDRESS"] = self.dbus.stdout.readline().strip()
        self.env, self.procs = env, [self.dbus]
        os.environ.clear()
        os.environ.update(env)
        self.bus = connect(env["DBUS_SESSION_BUS_ADDRESS"])

    def config_file(self, path, text, env=None):
        path = os.path.join((env or self.env)["XDG_CONFIG_HOME"], path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def spawn(self, *argv, env=None):
        self.procs.insert(0, subprocess.Popen(argv, env=env or self.env, stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL))
        return self.procs[0]

    def ibus_file(self):
        bus_dir = os.path.join(self.env["XDG_CONFIG_HOME"], "ibus", "bus")
        for name in os.listdir(bus_dir) if os.path.isdir(bus_dir) else ():
            with open(os.path.join(bus_dir, name)) as f:
                return dict(l.strip().split("=", 1) for l in f if "=" in l and l[0] != "#")
        return {}

    def start_ibus(self):
        before = self.ibus_file().get("IBUS_DAEMON_PID")
        self.ibus = self.spawn("ibus-daemon", "--panel=disable",
                               "--config=/usr/libexec/ibus-memconf")
        assert wait_until(lambda: self.ibus_file().get("IBUS_DAEMON_PID") not in (None, before),
                          20), "ibus-daemon did not publish its address"
        self.ibus_address = self.ibus_file()["IBUS_ADDRESS"]
        return connect(self.ibus_address)

    def kill_ibus(self):
        self.ibus.kill()
        self.ibus.wait()

    def has_fcitx(self):
        return call(self.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "NameHasOwner",
                    GLib.Variant("(s)", ("org.fcitx.Fcitx5",)))[0]

    def start_fcitx(self, engine):
        self.config_file("fcitx5/profile", FCITX_PROFILE.format(engine))
        env = dict(self.env)
        env.pop("DISPLAY")
        self.fcitx = self.spawn("fcitx5", "--disable=all",
                                "--enable=dbus,dbusfrontend,keyboard," + engine, env=env)
        # Never call Fcitx5 before it owns its name: that would activate a second one.
        assert wait_until(self.has_fcitx, 20), "fcitx5 did not start"

    def kill_fcitx(self):
        self.fcitx.kill()
        wait_until(lambda: not self.has_fcitx(), 5)

    def start_probe(self, framework):
        probe = Probe(self.env)
        self.procs.insert(0, probe.proc)
        assert probe.watching(framework), framework + " not watched"
        return probe

    def close(self):
        for proc in self.procs:
            proc.kill()
            proc.wait()
        # Engines and servers the daemons started (mozc_server detaches) carry
        # this session's environment.
        mark = ("XDG_RUNTIME_DIR=%s\0" % self.dir).encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if mark in f.read() and int(pid) != os.getpid():
                        os.kill(int(pid), 9)
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)
