"""The composition probe against a real Fcitx5 with its Hangul addon, driven
through its D-Bus frontend in both of its clients' styles: signals, and
batched keys whose answers carry the preedit."""
import unittest

from gi.repository import GLib

from ime_session import Session

IC = "org.fcitx.Fcitx.InputContext1"
RETURN, BACKSPACE = 0xff0d, 0xff08
# Preedit and formatted-preedit capabilities, as fcitx5-gtk announces them.
CAPABILITIES = (1 << 1) | (1 << 4)
# A client that draws Fcitx5's panel itself, and no preedit of its own.
CLIENT_SIDE_PANEL = 1 << 39


class Context:
    def __init__(self, session, batch, capabilities=CAPABILITIES):
        self.bus = session.bus
        self.batch = batch
        self.path = self.bus.call_sync(
            "org.fcitx.Fcitx5", "/org/freedesktop/portal/inputmethod",
            "org.fcitx.Fcitx.InputMethod1", "CreateInputContext",
            GLib.Variant("(a(ss))", ([("program", "sendhold-test")],)), None, 0, 5000,
            None).unpack()[0]
        self.call("SetCapability", GLib.Variant("(t)", (capabilities,)))

    def call(self, member, args=None):
        return self.bus.call_sync("org.fcitx.Fcitx5", self.path, IC, member, args, None, 0, 5000,
                                  None)

    def focus(self):
        self.call("FocusIn")

    def key(self, key):
        keyval = key if isinstance(key, int) else ord(key)
        member = "ProcessKeyEventBatch" if self.batch else "ProcessKeyEvent"
        for release in (False, True):
            self.call(member, GLib.Variant("(uuubu)", (keyval, 0, 0, release, 0)))

    def type(self, text):
        for ch in text:
            self.key(ch)


class FcitxDaemonTest(unittest.TestCase):
    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)
        self.session.start_fcitx()

    def lifecycle(self, batch, capabilities=CAPABILITIES):
        probe = self.session.start_probe(["fcitx"])
        a = Context(self.session, batch, capabilities)
        a.focus()
        self.assertTrue(probe.stays(False, 0.2))
        a.type("r")
        self.assertTrue(probe.settles_on(True), "composition began")
        a.type("k")
        a.key(RETURN)
        self.assertTrue(probe.settles_on(False), "committed")
        a.type("gk")
        self.assertTrue(probe.settles_on(True))
        a.key(BACKSPACE)
        self.assertTrue(probe.stays(True, 0.2), "one jamo left")
        a.key(BACKSPACE)
        self.assertTrue(probe.settles_on(False), "cancelled")

    def test_signals(self):
        self.lifecycle(batch=False)

    def test_batched_keys(self):
        self.lifecycle(batch=True)

    def test_preedit_in_a_client_drawn_panel(self):
        self.lifecycle(batch=True, capabilities=CLIENT_SIDE_PANEL)

    def test_focus_moves_between_contexts(self):
        probe = self.session.start_probe(["fcitx"])
        a, b = Context(self.session, True), Context(self.session, False)
        a.focus()
        a.type("r")
        self.assertTrue(probe.settles_on(True))
        b.focus()
        self.assertTrue(probe.settles_on(False), "b holds nothing")
        b.type("dk")
        self.assertTrue(probe.settles_on(True), "b composes")
        b.call("FocusOut")
        self.assertTrue(probe.settles_on(False), "nothing focused")

    def test_daemon_killed(self):
        probe = self.session.start_probe(["fcitx"])
        a = Context(self.session, True)
        a.focus()
        a.type("r")
        self.assertTrue(probe.settles_on(True))
        self.session.kill_fcitx()
        self.assertTrue(probe.settles_on(False), "daemon killed")

    def test_started_during_a_composition(self):
        a = Context(self.session, True)
        a.focus()
        a.type("r")
        probe = self.session.start_probe(["fcitx"])
        self.assertTrue(probe.stays(False, 0.5), "neither focus nor preedit was seen")
        a.type("k")
        self.assertTrue(probe.settles_on(True), "the next key tells both")


if __name__ == "__main__":
    unittest.main()
