"""A scripted stand-in for ibus >= 1.5.29 in synchronous mode, which the
installed IBus cannot produce: ProcessKeyEvent answers only whether the key was
handled, and the client then collects the key's effects (preedit included) with
Properties.Get("PostProcessKeyEvent"), an a(yv) list.

Usage: fake_ibus.py <bus address>. Owns org.freedesktop.IBus and serves one
context at /org/freedesktop/IBus/InputContext_7. Keys: 'r' -> preedit "ㄱ",
'k' -> "가", Return -> commit and empty preedit, 'z' -> effects that do not
parse. Each key is answered after a delay: 1 ms normally, 300 ms
for 'x' (an engine too slow to wait for). Prints "ready" once its name is owned.
"""
import sys

from gi.repository import Gio, GLib

CONTEXT = "/org/freedesktop/IBus/InputContext_7"
XML = """<node>
  <interface name="org.freedesktop.IBus.InputContext">
    <method name="FocusIn"/>
    <method name="FocusOut"/>
    <method name="ProcessKeyEvent">
      <arg direction="in" type="u"/><arg direction="in" type="u"/><arg direction="in" type="u"/>
      <arg direction="out" type="b"/>
    </method>
    <property name="PostProcessKeyEvent" type="a(yv)" access="read"/>
  </interface>
</node>"""


def ibus_text(text):
    return GLib.Variant("(sa{sv}sv)", ("IBusText", {}, text,
                                       GLib.Variant("(sa{sv}av)", ("IBusAttrList", {}, []))))


def preedit(text):
    return (ord("m"), GLib.Variant("(vubu)", (ibus_text(text), len(text), True, 0)))


EFFECTS = {
    ord("r"): [preedit("\u3131")],
    ord("k"): [preedit("\uac00")],
    0xff0d: [(ord("c"), ibus_text("\uac00")), preedit("")],
    ord("z"): [(ord("m"), GLib.Variant("s", "garbage"))],
    ord("x"): [],
}
DELAY_MS = {ord("x"): 300}

pending = []


def method_call(_conn, _sender, _path, _iface, method, params, invocation):
    if method == "ProcessKeyEvent":
        keyval = params.unpack()[0]

        def answer():
            pending[:] = EFFECTS.get(keyval, [])
            invocation.return_value(GLib.Variant("(b)", (True,)))
            return False
        GLib.timeout_add(DELAY_MS.get(keyval, 1), answer)
    else:
        invocation.return_value(None)


def get_property(_conn, _sender, _path, _iface, name):
    effects, pending[:] = list(pending), []
    return GLib.Variant("a(yv)", effects)


conn = Gio.DBusConnection.new_for_address_sync(
    sys.argv[1], Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
    | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
conn.register_object(CONTEXT, info, method_call, get_property, None)
conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
               "RequestName", GLib.Variant("(su)", ("org.freedesktop.IBus", 4)), None, 0, -1, None)
print("ready", flush=True)
GLib.MainLoop().run()
