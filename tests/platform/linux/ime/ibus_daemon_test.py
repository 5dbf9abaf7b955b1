"""The composition probe against a real ibus-daemon with the Hangul engine."""
import unittest

import gi

gi.require_version("IBus", "1.0")
from gi.repository import GLib, IBus  # noqa: E402

from ime_session import RETURN, BACKSPACE, CompositionCases, connect, wait_until  # noqa: E402

# ibus-hangul reads the key code (evdev numbering) to find the Korean jamo.
KEYCODES = {"r": 19, "k": 37, "s": 31, "g": 34, "d": 32, RETURN: 28, BACKSPACE: 14}
DRAWS_PREEDIT = IBus.Capabilite.PREEDIT_TEXT | IBus.Capabilite.FOCUS


def pump():
    while GLib.MainContext.default().iteration(False):
        pass


class Context:
    """An IBus client's input context that keeps its own view of its preedit,
    from the signals it receives: the oracle the probe must agree with."""

    def __init__(self, bus, name, capabilities=DRAWS_PREEDIT):
        path = bus.call_sync("org.freedesktop.IBus", "/org/freedesktop/IBus",
                             "org.freedesktop.IBus", "CreateInputContext",
                             GLib.Variant("(s)", (name,)), None, 0, 3000, None).unpack()[0]
        self.ic = IBus.InputContext.new(path, bus, None)
        self.ic.set_capabilities(capabilities)
        self.draws_preedit = capabilities == DRAWS_PREEDIT
        self.text, self.visible, self.updates, self.engine = "", False, 0, False
        self.ic.connect("update-preedit-text", self._update)
        self.ic.connect("show-preedit-text", lambda *_: setattr(self, "visible", True))
        self.ic.connect("hide-preedit-text", lambda *_: setattr(self, "visible", False))
        self.focus_out = self.ic.focus_out

    def _update(self, _ic, text, _cursor, visible):
        self.text, self.visible, self.updates = text.get_text(), visible, self.updates + 1

    def composing(self):
        pump()
        return bool(self.text) and self.visible

    def focus(self):
        self.ic.focus_in()
        if not self.engine:
            self.engine = True
            self.ic.set_engine("hangul")
            # The engine is ready once it has said something to the context
            # (to the panel instead when the client draws no preedit).
            wait_until(lambda: pump() or self.updates, 10 if self.draws_preedit else 0.5)

    def key(self, key):
        keyval = key if isinstance(key, int) else ord(key)
        handled = self.ic.process_key_event(keyval, KEYCODES[key], 0)
        self.ic.process_key_event(keyval, KEYCODES[key], IBus.ModifierType.RELEASE_MASK)
        pump()
        return handled

    def type(self, text):
        for ch in text:
            # The probe sees the clients' calls; it must never answer them.
            assert self.key(ch), "the engine handles a jamo key"


class IBusDaemonTest(CompositionCases, unittest.TestCase):
    framework = "ibus"

    def setUp(self):
        super().setUp()
        # A connection of our own: IBus.Bus is one per process and keeps the
        # first session's address.
        self.bus = connect(self.session.start_ibus())

    def context(self, name, capabilities=DRAWS_PREEDIT):
        return Context(self.bus, name, capabilities)

    def kill_daemon(self):
        self.session.kill_ibus()

    def test_composition_commit_and_cancel(self):
        self.lifecycle()

    def test_preedit_drawn_by_the_panel(self):
        # A client that cannot draw preedit: the daemon sends it to the panel.
        self.session.spawn_fake("panel", self.session.ibus_file()["IBUS_ADDRESS"])
        self.lifecycle(capabilities=IBus.Capabilite.FOCUS)

    def back_and_forth(self, probe, a, b):
        a.focus()
        self.assertTrue(probe.settles_on(a.composing), "a's own state")
        a.type("s")
        self.assertTrue(probe.settles_on(True))
        b.focus()
        self.assertTrue(probe.settles_on(b.composing), "b's own state")

    def after_restart(self, probe):
        self.bus = connect(self.session.start_ibus())
        self.assertTrue(probe.wait_watching("ibus"), "follows the rewritten address file")
        c = self.context("c")
        c.focus()
        c.type("r")
        self.assertTrue(probe.settles_on(True))


if __name__ == "__main__":
    unittest.main()
