#!/usr/bin/python3
"""A GTK 4 window for the desktop tests: an entry, a password entry, a text view and a last entry,
in that focus order. GTK 4 speaks AT-SPI itself, without the ATK bridge."""
import argparse

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import GLib, Gtk  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--title", required=True)
parser.add_argument("--windows", type=int, default=1)
args = parser.parse_args()

GLib.set_prgname("wsprobegtk4")


def build(title):
    window = Gtk.Window(title=title)
    window.set_default_size(520, 320)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=8)
    entry = Gtk.Entry()
    secret = Gtk.PasswordEntry()
    view = Gtk.TextView()
    view.set_size_request(-1, 80)
    after = Gtk.Entry()
    for widget in (entry, secret, view, after):
        box.append(widget)
    window.set_child(box)
    window.connect("close-request", lambda *_: loop.quit() or False)
    window.present()
    return window


loop = GLib.MainLoop()
windows = [build(args.title if i == 0 else "%s %d" % (args.title, i + 1)) for i in range(args.windows)]
loop.run()
