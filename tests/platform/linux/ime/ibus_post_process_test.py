"""The probe against a scripted IBus that hands a key's effects over through
Properties.Get("PostProcessKeyEvent") (ibus >= 1.5.29, synchronous clients),
and the bounded wait for a key whose outcome is still on its way."""
import os
import subprocess
import sys
import threading
import unittest

from gi.repository import Gio, GLib

from ime_session import Session

HERE = os.path.dirname(os.path.abspath(__file__))
CONTEXT = "/org/freedesktop/IBus/InputContext_7"
IC = "org.freedesktop.IBus.InputContext"
# The probe's bound on waiting for a fresh key, in microseconds.
MAX_WAIT_US = 8000


class PostProcessTest(unittest.TestCase):
    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)
        # A second private bus stands in for ibus-daemon's own.
        self.ibus = subprocess.Popen(["dbus-daemon", "--session", "--nofork",
                                      "--print-address=1"], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, env=self.session.env)
        address = self.ibus.stdout.readline().strip()
        self.addCleanup(self.stop_ibus)
        self.fake = subprocess.Popen([sys.executable, os.path.join(HERE, "fake_ibus.py"), address],
                                     stdout=subprocess.PIPE, text=True, env=self.session.env)
        self.assertEqual(self.fake.stdout.readline().strip(), "ready")
        self.client = Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        self.probe = self.session.start_probe(["ibus", "fcitx"], {"IBUS_ADDRESS": address})

    def stop_ibus(self):
        for proc in (self.fake, self.ibus):
            proc.kill()
            proc.wait()
            proc.stdout.close()

    def call(self, member, args=None):
        return self.client.call_sync("org.freedesktop.IBus", CONTEXT, IC, member, args, None, 0,
                                     5000, None)

    def key(self, key):
        """One key the way a synchronous ibus >= 1.5.29 client sends it."""
        keyval = key if isinstance(key, int) else ord(key)
        self.call("ProcessKeyEvent", GLib.Variant("(uuu)", (keyval, 0, 0)))
        self.client.call_sync("org.freedesktop.IBus", CONTEXT, "org.freedesktop.DBus.Properties",
                              "Get", GLib.Variant("(ss)", (IC, "PostProcessKeyEvent")), None, 0,
                              5000, None)

    def key_in_background(self, key):
        thread = threading.Thread(target=self.key, args=(key,))
        thread.start()
        self.addCleanup(thread.join)
        return thread

    def test_preedit_from_collected_effects(self):
        self.call("FocusIn")
        self.key("r")
        self.assertTrue(self.probe.settles_on(True), "composition began")
        self.key("k")
        self.assertTrue(self.probe.stays(True, 0.2))
        self.key(0xff0d)
        self.assertTrue(self.probe.settles_on(False), "committed")
        self.key("r")
        self.assertTrue(self.probe.settles_on(True))
        self.key("z")
        self.assertTrue(self.probe.settles_on(False), "effects that do not parse")

    def test_return_right_after_a_key_waits_for_its_outcome(self):
        self.call("FocusIn")
        answers = []
        for _ in range(5):
            self.key(0xff0d)
            self.assertTrue(self.probe.settles_on(False))
            thread = self.key_in_background("r")
            marked, us, seen = self.probe.after_key()
            thread.join()
            self.assertTrue(seen, "the probe saw the key go out")
            answers.append((marked, us))
        print("\nfresh key answered after 1 ms by the engine: probe answers (us):",
              [us for _, us in answers], file=sys.stderr)
        # The engine answers well within the bound, so the probe waits for it
        # and tells the new preedit. On a loaded machine the client's second
        # call may come too late; then the probe must have waited the full bound.
        self.assertGreaterEqual(sum(marked for marked, _ in answers), 3, answers)
        for marked, us in answers:
            self.assertTrue(marked or us >= MAX_WAIT_US, answers)
            self.assertLess(us, MAX_WAIT_US + 20000, answers)

    def test_a_key_too_slow_to_wait_for_is_given_up(self):
        self.call("FocusIn")
        self.key("r")
        self.assertTrue(self.probe.settles_on(True))
        thread = self.key_in_background("x")
        marked, us, seen = self.probe.after_key()
        thread.join()
        print("\nkey not answered within the bound: probe answered after %d us" % us,
              file=sys.stderr)
        self.assertTrue(seen)
        self.assertTrue(marked, "answers from what it knew")
        self.assertGreaterEqual(us, MAX_WAIT_US)
        self.assertLess(us, MAX_WAIT_US + 20000)


if __name__ == "__main__":
    unittest.main()
