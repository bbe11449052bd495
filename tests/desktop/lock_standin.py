#!/usr/bin/python3
"""Stands in for what says a session is locked, for the tests: the desktop's screensaver service
(org.freedesktop.ScreenSaver as KDE has it, or org.gnome.ScreenSaver) or logind's session, on the
bus given (or the session bus); or, as "x-screensaver", holds the X server's own screen saver on as
a locker does (the server ends a forced saver when its client leaves, so `xset s activate` cannot).
Prints "ready" once its name is owned; then each line on stdin changes it: "lock", "unlock", and
for logind "inactive" and "active". Ends at the end of stdin."""
import argparse
import ctypes
import sys

from gi.repository import Gio, GLib

parser = argparse.ArgumentParser()
parser.add_argument("--kind", choices=["freedesktop", "gnome", "logind", "x-screensaver"], required=True)
parser.add_argument("--bus", default="", help="bus address; the session bus when empty")
parser.add_argument("--locked", action="store_true", help="locked from the start")
args = parser.parse_args()

SAVER_XML = """<node><interface name="%s">
  <method name="GetActive"><arg type="b" direction="out"/></method>
  <signal name="ActiveChanged"><arg type="b"/></signal>
</interface></node>"""
LOGIND_XML = """<node>
<interface name="org.freedesktop.login1.Manager">
  <method name="GetSession"><arg type="s" direction="in"/><arg type="o" direction="out"/></method>
  <method name="GetSessionByPID"><arg type="u" direction="in"/><arg type="o" direction="out"/></method>
</interface>
<interface name="org.freedesktop.login1.Session">
  <property name="LockedHint" type="b" access="read"/>
  <property name="Active" type="b" access="read"/>
</interface></node>"""
SESSION_PATH = "/org/freedesktop/login1/session/_37"

state = {"locked": args.locked, "active": True}
loop = GLib.MainLoop()

if args.kind == "x-screensaver":
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XForceScreenSaver.argtypes = [ctypes.c_void_p, ctypes.c_int]
    xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    display = xlib.XOpenDisplay(None)
    if not display:
        sys.exit("no X display")
    print("ready", flush=True)
    for line in sys.stdin:
        word = line.strip()
        # ScreenSaverActive, ScreenSaverReset
        xlib.XForceScreenSaver(display, 1 if word == "lock" else 0)
        xlib.XSync(display, 0)
        print("done", word, flush=True)
    xlib.XForceScreenSaver(display, 0)
    xlib.XSync(display, 0)
    sys.exit(0)

if args.bus:
    bus = Gio.DBusConnection.new_for_address_sync(
        args.bus, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)
else:
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)

if args.kind == "logind":
    name = "org.freedesktop.login1"
    info = Gio.DBusNodeInfo.new_for_xml(LOGIND_XML)

    def manager_call(conn, sender, path, iface, method, params, invocation):
        invocation.return_value(GLib.Variant("(o)", (SESSION_PATH,)))

    def session_property(conn, sender, path, iface, prop):
        return GLib.Variant("b", state["locked"] if prop == "LockedHint" else state["active"])

    bus.register_object("/org/freedesktop/login1", info.interfaces[0], manager_call, None, None)
    bus.register_object(SESSION_PATH, info.interfaces[1], None, session_property, None)

    def changed(prop, value):
        bus.emit_signal(None, SESSION_PATH, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                        GLib.Variant("(sa{sv}as)", ("org.freedesktop.login1.Session",
                                                    {prop: GLib.Variant("b", value)}, [])))
else:
    name = "org.freedesktop.ScreenSaver" if args.kind == "freedesktop" else "org.gnome.ScreenSaver"
    path = "/org/freedesktop/ScreenSaver" if args.kind == "freedesktop" else "/org/gnome/ScreenSaver"
    info = Gio.DBusNodeInfo.new_for_xml(SAVER_XML % name)

    def saver_call(conn, sender, objpath, iface, method, params, invocation):
        invocation.return_value(GLib.Variant("(b)", (state["locked"],)))

    bus.register_object(path, info.interfaces[0], saver_call, None, None)

    def changed(prop, value):
        bus.emit_signal(None, path, name, "ActiveChanged", GLib.Variant("(b)", (value,)))


def command(source, condition):
    line = sys.stdin.readline()
    if not line:
        loop.quit()
        return False
    word = line.strip()
    if word in ("lock", "unlock"):
        state["locked"] = word == "lock"
        changed("LockedHint", state["locked"])
    elif word in ("active", "inactive"):
        state["active"] = word == "active"
        changed("Active", state["active"])
    bus.flush_sync(None)
    print("done", word, flush=True)
    return True


def owned(conn, owned_name):
    print("ready", flush=True)


Gio.bus_own_name_on_connection(bus, name, Gio.BusNameOwnerFlags.NONE, owned, lambda *a: loop.quit())
GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT, GLib.IOCondition.IN | GLib.IOCondition.HUP,
                  command)
loop.run()
