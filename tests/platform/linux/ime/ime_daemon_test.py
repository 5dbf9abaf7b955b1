# The composition probe (ime_probe_check, path in IME_PROBE_CHECK) against a real
# input-method daemon and engine, on a private session bus with its own HOME.
# Usage: ime_daemon_test.py <ibus|fcitx> <engine>. Runs as nobody: Mozc refuses root.
import contextlib, glob, os, pathlib, shutil, subprocess  # noqa: E401
import sys, tempfile, threading, time, unittest  # noqa: E401

if os.getuid() == 0:
    os.execvp("setpriv", ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                          sys.executable] + sys.argv)
import gi  # noqa: E402

gi.require_version("IBus", "1.0")
from gi.repository import Gio, GLib, IBus  # noqa: E402

FRAMEWORK, ENGINE = sys.argv[1:3]
KEYS = "rk" if ENGINE == "hangul" else "ka"  # a Korean syllable, or a kana
RETURN = 0xff0d
KEYCODES = {"r": 19, "k": 37, "a": 30, RETURN: 28}  # evdev; Fcitx5 takes them + 8
# Engines that start in Latin mode or with input off are told otherwise.
CONFIG = {"glib-2.0/settings/keyfile": "[org/freedesktop/ibus/engine/hangul]\n"
          "initial-input-mode='hangul'\n[org/freedesktop/ibus/engine/anthy/common]\ninput-mode=0\n",
          "mozc/ibus_config.textproto": 'engines { name: "mozc-jp" longname: "Mozc" '
          'layout: "default" rank: 80 }\nactive_on_launch: True\n',
          "fcitx5/profile": "[Groups/0]\nName=Default\nDefault Layout=us\nDefaultIM={0}\n"
          "[Groups/0/Items/0]\nName={0}\nLayout=\n[GroupOrder]\n0=Default\n".format(ENGINE)}
IC = {"ibus": "org.freedesktop.IBus.InputContext", "fcitx": "org.fcitx.Fcitx.InputContext1"}


def wait_until(predicate, timeout=6.0):
    end = time.monotonic() + timeout
    while not predicate() and time.monotonic() < end:
        time.sleep(0.02)
    return predicate()


def pump():
    while GLib.MainContext.default().iteration(False): pass  # noqa: E701


def connect(address):
    return Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)


def call(conn, dest, path, iface, member, args=None):
    return conn.call_sync(dest, path, iface, member, args, None, 0, 5000, None).unpack()


class IBusContext:
    # An IBus client's input context, keeping its own view of its preedit.
    def __init__(self, conn):
        path = call(conn, "org.freedesktop.IBus", "/org/freedesktop/IBus", "org.freedesktop.IBus",
                    "CreateInputContext", GLib.Variant("(s)", ("test",)))[0]
        self.ic, self.text = IBus.InputContext.new(path, conn, None), None
        self.ic.set_capabilities(IBus.Capabilite.PREEDIT_TEXT | IBus.Capabilite.FOCUS)
        self.ic.connect("update-preedit-text", lambda _ic, text, _cursor, visible: setattr(
            self, "text", text.get_text() if visible else ""))
        self.focus_out = self.ic.focus_out
        self.focus()

    def focus(self):
        self.ic.focus_in()
        if self.text is None:
            self.ic.set_engine("mozc-jp" if ENGINE == "mozc" else ENGINE)
            wait_until(lambda: pump() or self.text is not None)  # the engine is up

    def key(self, key):
        for state in (0, IBus.ModifierType.RELEASE_MASK):
            self.ic.process_key_event(key if key == RETURN else ord(key), KEYCODES[key], state)


class FcitxContext:
    def __init__(self, conn, batch):
        self.conn, self.batch = conn, batch
        self.path = call(conn, "org.fcitx.Fcitx5", "/org/freedesktop/portal/inputmethod",
                         "org.fcitx.Fcitx.InputMethod1", "CreateInputContext",
                         GLib.Variant("(a(ss))", ([("program", "test")],)))[0]
        self.call("SetCapability", GLib.Variant("(t)", ((1 << 1) | (1 << 4),)))  # preedit
        self.focus, self.focus_out = lambda: self.call("FocusIn"), lambda: self.call("FocusOut")
        self.focus()

    def call(self, member, args=None):
        call(self.conn, "org.fcitx.Fcitx5", self.path, IC["fcitx"], member, args)

    def key(self, key):
        for release in (False, True):
            self.call("ProcessKeyEventBatch" if self.batch else "ProcessKeyEvent", GLib.Variant(
                "(uuubu)", (key if key == RETURN else ord(key), KEYCODES[key] + 8, 0, release, 0)))


class DaemonTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sendhold-ime-")
        self.addCleanup(self.close)
        home = self.dir + "/home"
        for name in [k for k in os.environ if k.startswith(
                ("DBUS_", "IBUS_", "XDG_", "WAYLAND_", "GTK_IM", "QT_IM"))]:
            del os.environ[name]
        os.environ.update(HOME=home, XDG_CONFIG_HOME=home + "/.config", XDG_RUNTIME_DIR=self.dir,
                          XDG_CACHE_HOME=home + "/.cache", GSETTINGS_BACKEND="keyfile",
                          DISPLAY=":93")
        for path, text in CONFIG.items():
            (file := pathlib.Path(home, ".config", path)).parent.mkdir(parents=True, exist_ok=True)
            file.write_text(text)
        self.procs = []
        bus = self.spawn("dbus-daemon", "--session", "--nofork", "--print-address=1",
                         stdout=subprocess.PIPE, text=True)
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        self.bus = connect(os.environ["DBUS_SESSION_BUS_ADDRESS"])
        self.start_daemon()
        self.probe = self.spawn(os.environ["IME_PROBE_CHECK"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=None, text=True, bufsize=1)
        assert self.probe.stdout.readline().strip() == "ready"
        self.assertEqual(self.ask("w %s 10000" % FRAMEWORK), ["1"], "watching")

    def spawn(self, *argv, stderr=subprocess.DEVNULL, **options):
        self.procs.insert(0, subprocess.Popen(argv, stderr=stderr, **options))
        return self.procs[0]

    def has_fcitx(self):
        return call(self.bus, "org.freedesktop.DBus", "/", "org.freedesktop.DBus", "NameHasOwner",
                    GLib.Variant("(s)", ("org.fcitx.Fcitx5",)))[0]

    def ibus_address(self):
        for name in glob.glob(os.environ["XDG_CONFIG_HOME"] + "/ibus/bus/*"):
            with open(name) as f:
                return next((l.strip()[13:] for l in f if l.startswith("IBUS_ADDRESS=")), None)

    def start_daemon(self):
        if FRAMEWORK == "ibus":
            before = self.ibus_address()
            self.daemon = self.spawn("ibus-daemon", "--panel=disable",
                                     "--config=/usr/libexec/ibus-memconf")
            assert wait_until(lambda: self.ibus_address() not in (None, before), 20)
            self.contexts = [lambda conn=connect(self.ibus_address()): IBusContext(conn)]
        else:
            # Called before it owns its name, Fcitx5 would be started twice.
            self.daemon = self.spawn("fcitx5", "--disable=all", "--enable=dbus,dbusfrontend,"
                                     "keyboard," + ENGINE, env=dict(os.environ, DISPLAY=""))
            assert wait_until(self.has_fcitx, 20), "fcitx5 did not start"
            # fcitx5-gtk's batched keys (the preedit in the answers), and signals.
            self.contexts = [lambda b=b: FcitxContext(self.bus, b) for b in (True, False)]

    def close(self):
        for proc in self.procs:
            proc.kill()
            proc.wait()
        # Engines and servers the daemons started (mozc_server detaches) carry
        # this session's environment.
        mark = ("XDG_RUNTIME_DIR=%s\0" % self.dir).encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            with contextlib.suppress(OSError), open("/proc/%s/environ" % pid, "rb") as f:
                if mark in f.read() and int(pid) != os.getpid():
                    os.kill(int(pid), 9)
        shutil.rmtree(self.dir, ignore_errors=True)

    def ask(self, line):
        self.probe.stdin.write(line + "\n")
        return self.probe.stdout.readline().split()

    def settles_on(self, expected):
        return wait_until(lambda: self.ask("q")[0] == str(int(expected)))

    def stays(self, expected):
        return not wait_until(lambda: self.ask("q")[0] != str(int(expected)), 0.3)

    def compose(self, context):
        for key in KEYS:
            context.key(key)
        return self.settles_on(True)

    def test_impostor_cannot_fake_a_composition(self):
        # Any client can send a FocusIn and a preedit update to itself.
        impostor = connect(self.ibus_address() if FRAMEWORK == "ibus"
                           else os.environ["DBUS_SESSION_BUS_ADDRESS"])
        path, me = "/org/freedesktop/portal/inputcontext/99", impostor.get_unique_name()
        focus = Gio.DBusMessage.new_method_call(me, path, IC[FRAMEWORK], "FocusIn")
        focus.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        impostor.send_message(focus, Gio.DBusSendMessageFlags.NONE)
        text = GLib.Variant("(sa{sv}sv)", ("IBusText", {}, "x", GLib.Variant(
            "(sa{sv}av)", ("IBusAttrList", {}, []))))
        preedit = {"ibus": ("UpdatePreeditText", GLib.Variant("(vub)", (text, 1, True))),
                   "fcitx": ("UpdateFormattedPreedit", GLib.Variant("(a(si)i)", ([("x", 8)], 1)))}
        impostor.emit_signal(me, path, IC[FRAMEWORK], *preedit[FRAMEWORK])
        self.assertTrue(self.stays(False))

    def test_compositions(self):
        for new_context in self.contexts:
            a = new_context()
            self.assertTrue(self.stays(False), "nothing typed")
            # Asked the moment the first letter goes out, the probe waits for its
            # outcome (ibus-anthy answers before it reports the preedit).
            firsts = []
            for _ in range(3):
                thread = threading.Thread(target=a.key, args=(KEYS[0],))
                thread.start()
                answer = self.ask("k 2000")
                thread.join()
                firsts.append(answer == ["1", "1"])
                self.assertTrue(self.compose(a), "composing")
                a.key(RETURN)
                self.assertTrue(self.settles_on(False), "committed by Return")
            self.assertTrue(any(firsts), firsts)  # engines may take longer than the wait
            # Committed when the context loses the focus, often without a word.
            self.assertTrue(self.compose(a))
            a.focus_out()
            self.assertTrue(self.settles_on(False), "focus lost")
            a.focus()
            self.assertTrue(self.stays(False), "focus back: nothing composes")
            self.assertFalse(pump() or getattr(a, "text", ""), "the IBus client agrees")

    def test_daemon_restarted(self):
        self.assertTrue(self.compose(self.contexts[0]()))
        self.daemon.kill()
        self.assertTrue(self.settles_on(False), "daemon gone")
        wait_until(lambda: FRAMEWORK == "ibus" or not self.has_fcitx())
        self.start_daemon()
        self.assertEqual(self.ask("w %s 10000" % FRAMEWORK), ["1"], "joined again")
        self.assertTrue(self.compose(self.contexts[0]()))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:])
