"""The composition probe against a real ibus-daemon with the Hangul engine."""
import os
import subprocess
import sys
import time
import unittest

import gi

gi.require_version("IBus", "1.0")
from gi.repository import Gio, GLib, IBus  # noqa: E402

from ime_session import Session, wait_until  # noqa: E402

RETURN, BACKSPACE = 0xff0d, 0xff08
# ibus-hangul reads the key code (evdev numbering) to find the Korean jamo.
KEYCODES = {"r": 19, "k": 37, "s": 31, "g": 34, "d": 32, RETURN: 28, BACKSPACE: 14}


def pump():
    while GLib.MainContext.default().iteration(False):
        pass


class Context:
    """An IBus client's input context that keeps its own view of its preedit,
    from the signals it receives: the oracle the probe must agree with."""

    def __init__(self, bus, name, capabilities=IBus.Capabilite.PREEDIT_TEXT | IBus.Capabilite.FOCUS):
        path = bus.call_sync("org.freedesktop.IBus", "/org/freedesktop/IBus",
                             "org.freedesktop.IBus", "CreateInputContext",
                             GLib.Variant("(s)", (name,)), None, 0, 3000, None).unpack()[0]
        self.ic = IBus.InputContext.new(path, bus, None)
        self.ic.set_capabilities(capabilities)
        self.text, self.visible = "", False
        self.ic.connect("update-preedit-text", self._update)
        self.ic.connect("show-preedit-text", lambda *_: setattr(self, "visible", True))
        self.ic.connect("hide-preedit-text", lambda *_: setattr(self, "visible", False))

    def _update(self, _ic, text, _cursor, visible):
        self.text, self.visible = text.get_text(), visible

    def composing(self):
        pump()
        return bool(self.text) and self.visible

    def focus(self, engine=False):
        self.ic.focus_in()
        if engine:
            self.ic.set_engine("hangul")
            # The engine is ready once it has said something to the context.
            self.updates = 0
            self.ic.connect("update-preedit-text", lambda *_: setattr(self, "updates", 1))
            wait_until(lambda: pump() or self.updates, 10)

    def key(self, key):
        keyval = key if isinstance(key, int) else ord(key)
        handled = self.ic.process_key_event(keyval, KEYCODES[key], 0)
        self.ic.process_key_event(keyval, KEYCODES[key], IBus.ModifierType.RELEASE_MASK)
        pump()
        return handled

    def type(self, text):
        for ch in text:
            self.key(ch)


class IBusDaemonTest(unittest.TestCase):
    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)
        self.session.start_ibus()
        self.bus = self.connect()

    def connect(self):
        # A connection of our own: IBus.Bus is one per process and keeps the
        # first session's address.
        return Gio.DBusConnection.new_for_address_sync(
            self.session.ibus_file()["IBUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

    def test_composition_commit_and_cancel(self):
        probe = self.session.start_probe(["ibus"])
        a = Context(self.bus, "a")
        a.focus(engine=True)
        self.assertTrue(probe.stays(False, 0.2))
        a.type("r")
        self.assertTrue(wait_until(a.composing, 3), "the client's own view")
        self.assertTrue(probe.settles_on(True), "composition began")
        a.type("k")
        self.assertTrue(probe.stays(True, 0.2))
        a.key(RETURN)
        self.assertTrue(wait_until(lambda: not a.composing(), 3))
        self.assertTrue(probe.settles_on(False), "committed")
        a.type("gk")
        self.assertTrue(probe.settles_on(True))
        a.key(BACKSPACE)
        self.assertTrue(probe.stays(True, 0.2), "one jamo left")
        a.key(BACKSPACE)
        self.assertTrue(wait_until(lambda: not a.composing(), 3))
        self.assertTrue(probe.settles_on(False), "cancelled")

    def test_focus_moves_between_contexts(self):
        probe = self.session.start_probe(["ibus"])
        a, b = Context(self.bus, "a"), Context(self.bus, "b")
        a.focus(engine=True)
        a.type("r")
        self.assertTrue(probe.settles_on(True))
        b.focus(engine=True)
        self.assertTrue(probe.settles_on(False), "b holds nothing")
        b.type("dk")
        self.assertTrue(probe.settles_on(True), "b composes")
        a.focus()
        self.assertTrue(probe.settles_on(a.composing, pump=pump), "a's own state")
        a.type("s")
        self.assertTrue(probe.settles_on(True))
        b.focus()
        self.assertTrue(probe.settles_on(b.composing, pump=pump), "b's own state")
        a.ic.focus_out()
        b.ic.focus_out()
        self.assertTrue(probe.settles_on(False), "nothing focused")

    def test_daemon_killed_then_restarted(self):
        probe = self.session.start_probe(["ibus"])
        a = Context(self.bus, "a")
        a.focus(engine=True)
        a.type("r")
        self.assertTrue(probe.settles_on(True))
        self.session.kill_ibus()
        self.assertTrue(probe.settles_on(False), "daemon killed")
        self.session.start_ibus()
        self.assertTrue(probe.wait_watching("ibus"), "follows the rewritten address file")
        c = Context(self.connect(), "c")
        c.focus(engine=True)
        c.type("r")
        self.assertTrue(probe.settles_on(True))

    def test_started_during_a_composition(self):
        a = Context(self.bus, "a")
        a.focus(engine=True)
        a.type("r")
        self.assertTrue(wait_until(a.composing, 3), "the client's own view")
        probe = self.session.start_probe(["ibus"])
        self.assertTrue(probe.stays(False, 0.5), "the preedit was never reported to it")
        a.type("k")
        self.assertTrue(probe.settles_on(True), "the next update tells")

    def test_preedit_drawn_by_the_panel(self):
        panel = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__),
                                                               "fake_panel.py"),
                                  self.session.ibus_file()["IBUS_ADDRESS"]],
                                 stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (panel.kill(), panel.wait(), panel.stdout.close()))
        self.assertEqual(panel.stdout.readline().strip(), "ready")
        probe = self.session.start_probe(["ibus"])
        # A client that cannot draw preedit: the daemon sends it to the panel.
        a = Context(self.bus, "a", IBus.Capabilite.FOCUS)
        a.ic.focus_in()
        a.ic.set_engine("hangul")
        time.sleep(0.5)
        a.type("r")
        self.assertTrue(probe.settles_on(True), "composition began")
        a.key(RETURN)
        self.assertTrue(probe.settles_on(False), "committed")

    def test_leaves_clients_undisturbed(self):
        # The probe sees the clients' calls; it must never answer them.
        self.session.start_probe(["ibus"])
        a = Context(self.bus, "a")
        a.focus(engine=True)
        for ch in "rkr":
            self.assertTrue(a.key(ch), "key handled by the engine")
        pump()
        self.assertTrue(wait_until(a.composing, 3), "the client's own view")


if __name__ == "__main__":
    unittest.main()
