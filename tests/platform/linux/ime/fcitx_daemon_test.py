"""The composition probe against a real Fcitx5 with its Hangul addon, driven
through its D-Bus frontend in both of its clients' styles: signals, and
batched keys whose answers carry the preedit."""
import unittest

from gi.repository import GLib

from ime_session import CompositionCases

IC = "org.fcitx.Fcitx.InputContext1"
# Preedit and formatted-preedit capabilities, as fcitx5-gtk announces them.
CAPABILITIES = (1 << 1) | (1 << 4)
# A client that draws Fcitx5's panel itself, and no preedit of its own.
CLIENT_SIDE_PANEL = 1 << 39


class Context:
    def __init__(self, bus, batch, capabilities):
        self.bus, self.batch = bus, batch
        self.path = bus.call_sync(
            "org.fcitx.Fcitx5", "/org/freedesktop/portal/inputmethod",
            "org.fcitx.Fcitx.InputMethod1", "CreateInputContext",
            GLib.Variant("(a(ss))", ([("program", "sendhold-test")],)), None, 0, 5000,
            None).unpack()[0]
        self.call("SetCapability", GLib.Variant("(t)", (capabilities,)))

    def call(self, member, args=None):
        self.bus.call_sync("org.fcitx.Fcitx5", self.path, IC, member, args, None, 0, 5000, None)

    def focus(self):
        self.call("FocusIn")

    def focus_out(self):
        self.call("FocusOut")

    def key(self, key):
        keyval = key if isinstance(key, int) else ord(key)
        for release in (False, True):
            self.call("ProcessKeyEventBatch" if self.batch else "ProcessKeyEvent",
                      GLib.Variant("(uuubu)", (keyval, 0, 0, release, 0)))

    def type(self, text):
        for ch in text:
            self.key(ch)


class FcitxDaemonTest(CompositionCases, unittest.TestCase):
    framework = "fcitx"

    def setUp(self):
        super().setUp()
        self.session.start_fcitx()

    def context(self, name, batch=None, capabilities=CAPABILITIES):
        # Unless told, "b" uses signals and the others batched keys, so that
        # focus moves between both styles.
        return Context(self.session.bus, name != "b" if batch is None else batch, capabilities)

    def kill_daemon(self):
        self.session.kill_fcitx()

    def test_signals(self):
        self.lifecycle(batch=False)

    def test_batched_keys(self):
        self.lifecycle(batch=True)

    def test_preedit_in_a_client_drawn_panel(self):
        self.lifecycle(batch=True, capabilities=CLIENT_SIDE_PANEL)


if __name__ == "__main__":
    unittest.main()
