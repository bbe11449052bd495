#!/usr/bin/python3
"""A ScreenCast portal backend for tests: behind the real xdg-desktop-portal it shares one given
PipeWire node (50x36 pixels) as a monitor of 25x18 layout units without asking, remembers the choice, and ends every session on
SIGUSR1 as a compositor would. Each call is written to the log file, one line each.

usage: screencast_backend.py NODE_ID LOG_FILE"""
import signal
import sys

from gi.repository import Gio, GLib

NODE, LOG = int(sys.argv[1]), sys.argv[2]
XML = """<node>
 <interface name="org.freedesktop.impl.portal.ScreenCast">
  <method name="CreateSession"><arg type="o" direction="in"/><arg type="o" direction="in"/>
   <arg type="s" direction="in"/><arg type="a{sv}" direction="in"/>
   <arg type="u" direction="out"/><arg type="a{sv}" direction="out"/></method>
  <method name="SelectSources"><arg type="o" direction="in"/><arg type="o" direction="in"/>
   <arg type="s" direction="in"/><arg type="a{sv}" direction="in"/>
   <arg type="u" direction="out"/><arg type="a{sv}" direction="out"/></method>
  <method name="Start"><arg type="o" direction="in"/><arg type="o" direction="in"/>
   <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="a{sv}" direction="in"/>
   <arg type="u" direction="out"/><arg type="a{sv}" direction="out"/></method>
  <property name="AvailableSourceTypes" type="u" access="read"/>
  <property name="AvailableCursorModes" type="u" access="read"/>
  <property name="version" type="u" access="read"/>
 </interface>
 <interface name="org.freedesktop.impl.portal.Session">
  <method name="Close"/>
  <signal name="Closed"/>
 </interface>
</node>"""
INFO = Gio.DBusNodeInfo.new_for_xml(XML)
sessions = {}


def log(line):
    with open(LOG, "a") as f:
        f.write(line + "\n")


def call(conn, sender, path, iface, method, params, invocation):
    args = params.unpack()
    if method == "CreateSession":
        session = args[1]
        sessions[session] = conn.register_object(session, INFO.interfaces[1], call, prop, None)
        log("CreateSession")
        invocation.return_value(GLib.Variant("(ua{sv})", (0, {})))
    elif method == "SelectSources":
        options = args[3]
        log("SelectSources " + " ".join(f"{k}={options[k]}" for k in sorted(options)))
        invocation.return_value(GLib.Variant("(ua{sv})", (0, {})))
    elif method == "Start":
        stream = {"size": GLib.Variant("(ii)", (25, 18)), "position": GLib.Variant("(ii)", (0, 0))}
        log("Start")
        invocation.return_value(GLib.Variant("(ua{sv})", (0, {
            "streams": GLib.Variant("a(ua{sv})", [(NODE, stream)]), "persist_mode": GLib.Variant("u", 2),
            "restore_data": GLib.Variant("(suv)", ("wsfake", 1, GLib.Variant("s", "monitor-1")))})))
    elif method == "Close":
        log("CloseSession")
        conn.unregister_object(sessions.pop(path))
        invocation.return_value(None)


def prop(conn, sender, path, iface, name):
    return GLib.Variant("u", {"AvailableSourceTypes": 1, "AvailableCursorModes": 1 | 2, "version": 4}[name])


def end_all():
    for path in list(sessions):
        bus.emit_signal(None, path, "org.freedesktop.impl.portal.Session", "Closed", None)
        bus.unregister_object(sessions.pop(path))
    log("EndedByCompositor")
    return True


bus = Gio.bus_get_sync(Gio.BusType.SESSION)
bus.register_object("/org/freedesktop/portal/desktop", INFO.interfaces[0], call, prop, None)
Gio.bus_own_name_on_connection(bus, "org.freedesktop.impl.portal.desktop.wsfake", 0, None, None)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, end_all)
GLib.MainLoop().run()
