"""The composition probe against the real input-method daemons with the Korean
and Japanese engines people use, driven by clients on a private session.
Usage: ime_daemon_test.py <ibus|fcitx> <engine>"""
import sys
import threading
import unittest

from gi.repository import Gio, GLib

from ime_session import (RETURN, FcitxContext, IBusContext, Session, connect, wait_until)

FRAMEWORK, ENGINE = sys.argv[1:3]
# Keys that start a composition, as each engine is set up (Korean, or kana).
KEYS = "rk" if ENGINE == "hangul" else "ka"
IBUS_IC = ("org.freedesktop.IBus.InputContext", "UpdatePreeditText",
           "(vub)", (GLib.Variant("(sa{sv}sv)", ("IBusText", {}, "x", GLib.Variant(
               "(sa{sv}av)", ("IBusAttrList", {}, [])))), 1, True))
FCITX_IC = ("org.fcitx.Fcitx.InputContext1", "UpdateFormattedPreedit", "(a(si)i)",
            ([("x", 8)], 1))


class DaemonTest(unittest.TestCase):
    def start(self):
        if FRAMEWORK == "ibus":
            conn = self.session.start_ibus()
            self.contexts = [lambda: IBusContext(conn, "mozc-jp" if ENGINE == "mozc" else ENGINE)]
        else:
            self.session.start_fcitx(ENGINE)
            # fcitx5-gtk's batched keys (the preedit in the answers), and signals.
            self.contexts = [lambda b=b: FcitxContext(self.session.bus, b) for b in (True, False)]

    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)
        self.start()
        self.probe = self.session.start_probe(FRAMEWORK)

    def test_impostor_cannot_fake_a_composition(self):
        # Any client can send a FocusIn and a preedit update to itself.
        impostor = connect(self.session.ibus_address if FRAMEWORK == "ibus"
                           else self.session.env["DBUS_SESSION_BUS_ADDRESS"])
        iface, member, signature, args = IBUS_IC if FRAMEWORK == "ibus" else FCITX_IC
        path, me = "/org/freedesktop/portal/inputcontext/99", impostor.get_unique_name()
        focus = Gio.DBusMessage.new_method_call(me, path, iface, "FocusIn")
        focus.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        impostor.send_message(focus, Gio.DBusSendMessageFlags.NONE)
        impostor.emit_signal(me, path, iface, member, GLib.Variant(signature, args))
        self.assertTrue(self.probe.stays(False, 0.5))

    def test_compositions(self):
        for new_context in self.contexts:
            a = new_context()
            a.focus()
            self.assertTrue(self.probe.stays(False), "nothing typed")
            # Asked the moment the first letter goes out, the probe waits for its
            # outcome (ibus-anthy answers before it reports the preedit).
            firsts = []
            for _ in range(3):
                thread = threading.Thread(target=a.key, args=(KEYS[0],))
                thread.start()
                firsts.append(self.probe.after_key())
                thread.join()
                a.key(KEYS[1])
                self.assertTrue(self.probe.settles_on(True), "composing")
                a.key(RETURN)
                self.assertTrue(self.probe.settles_on(False), "committed by Return")
            self.assertGreaterEqual(sum(firsts), 2, firsts)
            # Committed when the context loses the focus, often without a word.
            for ch in KEYS:
                a.key(ch)
            self.assertTrue(self.probe.settles_on(True))
            a.focus_out()
            self.assertTrue(self.probe.settles_on(False), "focus lost")
            a.focus()
            self.assertTrue(self.probe.stays(False), "focus back: nothing composes")
            if FRAMEWORK == "ibus":
                self.assertFalse(a.composing(), "the client agrees")

    def test_daemon_restarted(self):
        a = self.contexts[0]()
        a.focus()
        for ch in KEYS:
            a.key(ch)
        self.assertTrue(self.probe.settles_on(True))
        self.session.kill_ibus() if FRAMEWORK == "ibus" else self.session.kill_fcitx()
        self.assertTrue(self.probe.settles_on(False), "daemon gone")
        self.start()
        self.assertTrue(self.probe.watching(FRAMEWORK), "joined again")
        b = self.contexts[0]()
        b.focus()
        for ch in KEYS:
            b.key(ch)
        self.assertTrue(self.probe.settles_on(True))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:])
