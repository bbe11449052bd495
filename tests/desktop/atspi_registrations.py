#!/usr/bin/python3
"""What the accessibility registry holds for one process: the event types and the keystroke
listeners it registered, as JSON. The registry is asked directly, not the process."""
import json
import sys

from gi.repository import Gio, GLib

pid = int(sys.argv[1])
session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
address = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
                            GLib.VariantType("(s)"), Gio.DBusCallFlags.NONE, 3000, None).unpack()[0]
bus = Gio.DBusConnection.new_for_address_sync(
    address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)


def call(path, interface, method, reply):
    return bus.call_sync("org.a11y.atspi.Registry", path, interface, method, None, GLib.VariantType(reply),
                         Gio.DBusCallFlags.NONE, 3000, None).unpack()[0]


def owner_pid(name):
    try:
        return bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "GetConnectionUnixProcessID", GLib.Variant("(s)", (name,)), GLib.VariantType("(u)"),
                             Gio.DBusCallFlags.NONE, 3000, None).unpack()[0]
    except GLib.Error:
        return -1


events = call("/org/a11y/atspi/registry", "org.a11y.atspi.Registry", "GetRegisteredEvents", "(a(ss))")
keys = call("/org/a11y/atspi/registry/deviceeventcontroller", "org.a11y.atspi.DeviceEventController",
            "GetKeystrokeListeners", "(a(souua(iisi)u(bbb)))")
pids = {}
mine = lambda name: pids.setdefault(name, owner_pid(name)) == pid  # noqa: E731
print(json.dumps({
    "events": sorted({event for name, event in events if mine(name)}),
    "keystrokeListeners": sum(1 for listener in keys if mine(listener[0])),
}))
