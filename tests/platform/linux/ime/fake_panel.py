"""A stand-in IBus panel: owns org.freedesktop.IBus.Panel on ibus-daemon's bus
and accepts every call, so that the daemon hands it the preedit of clients
that cannot draw their own. Usage: fake_panel.py <ibus address>. Prints
"ready" once its name is owned."""
import sys

from gi.repository import Gio, GLib


def swallow(conn, message, incoming):
    # Answer the daemon's calls to the panel (most expect no answer at all).
    if incoming and message.get_message_type() == Gio.DBusMessageType.METHOD_CALL \
            and message.get_interface() == "org.freedesktop.IBus.Panel":
        if not message.get_flags() & Gio.DBusMessageFlags.NO_REPLY_EXPECTED:
            conn.send_message(message.new_method_reply(), Gio.DBusSendMessageFlags.NONE)
        return None
    return message


conn = Gio.DBusConnection.new_for_address_sync(
    sys.argv[1], Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
    | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
conn.add_filter(swallow)
conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
               "RequestName", GLib.Variant("(su)", ("org.freedesktop.IBus.Panel", 4)), None, 0,
               -1, None)
print("ready", flush=True)
GLib.MainLoop().run()
