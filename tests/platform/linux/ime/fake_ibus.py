"""Scripted stand-ins for what the installed IBus cannot produce.
Usage: fake_ibus.py <role> <bus address>; prints "ready" once its name is owned.

context: ibus >= 1.5.29 in synchronous mode. ProcessKeyEvent answers only
whether the key was handled; the client then collects the key's effects
(preedit included) with Properties.Get("PostProcessKeyEvent"), an a(yv) list.
Serves one context at /org/freedesktop/IBus/InputContext_7. Keys: 'r' ->
preedit "ㄱ", 'k' -> "가", Return -> commit and empty preedit, 'z' -> effects
that do not parse. Each key is answered after 1 ms, 'x' after 300 ms (an
engine too slow to wait for).

panel: owns org.freedesktop.IBus.Panel on ibus-daemon's bus and accepts every
call, so that the daemon hands it the preedit of clients that cannot draw their own.
"""
import sys

from gi.repository import Gio, GLib

from ime_session import serve

XML = """<node>
  <interface name="org.freedesktop.IBus.InputContext">
    <method name="FocusIn"/>
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
}
pending = []


def method_call(_conn, _sender, _path, _iface, method, params, invocation):
    if method != "ProcessKeyEvent":
        return invocation.return_value(None)
    keyval = params.unpack()[0]

    def answer():
        pending[:] = EFFECTS.get(keyval, [])
        invocation.return_value(GLib.Variant("(b)", (True,)))
    GLib.timeout_add(300 if keyval == ord("x") else 1, answer)


def get_property(*_):
    effects, pending[:] = list(pending), []
    return GLib.Variant("a(yv)", effects)


def context(conn):
    info = Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0]
    conn.register_object("/org/freedesktop/IBus/InputContext_7", info, method_call, get_property,
                         None)


def swallow(conn, message, incoming):
    # Answer the daemon's calls to the panel (most expect no answer at all).
    if incoming and message.get_message_type() == Gio.DBusMessageType.METHOD_CALL \
            and message.get_interface() == "org.freedesktop.IBus.Panel":
        if not message.get_flags() & Gio.DBusMessageFlags.NO_REPLY_EXPECTED:
            conn.send_message(message.new_method_reply(), Gio.DBusSendMessageFlags.NONE)
        return None
    return message


if sys.argv[1] == "panel":
    serve("org.freedesktop.IBus.Panel", lambda conn: conn.add_filter(swallow))
else:
    serve("org.freedesktop.IBus", context)
