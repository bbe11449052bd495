#!/usr/bin/python3
"""A small GTK 3 window for the desktop tests: text entries (one of them a password field),
a coloured background and optionally a line of large text."""
import argparse

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--title", required=True)
parser.add_argument("--wmclass", default="WsProbe")
parser.add_argument("--color", default="#ffffff")
parser.add_argument("--label", default="")
parser.add_argument("--entries", action="store_true")
parser.add_argument("--size", default="500x300")
parser.add_argument("--position", default="")
parser.add_argument("--second", default="", help="title of a second, plain window of the same process")
args = parser.parse_args()

GLib.set_prgname(args.wmclass.lower())
Gdk.set_program_class(args.wmclass)

css = Gtk.CssProvider()
css.load_from_data(
    ("window { background-color: %s; } label { font-size: 44px; color: #000000; }" % args.color).encode()
)
Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_USER)

window = Gtk.Window(title=args.title)
width, height = (int(v) for v in args.size.split("x"))
window.set_default_size(width, height)
if args.position:
    x, y = (int(v) for v in args.position.split(","))
    window.move(x, y)
window.connect("destroy", Gtk.main_quit)

box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=8)
if args.entries:
    plain = Gtk.Entry()
    plain.set_name("plain")
    secret = Gtk.Entry()
    secret.set_name("secret")
    secret.set_visibility(False)
    after = Gtk.Entry()
    after.set_name("after")
    for entry in (plain, secret, after):
        box.pack_start(entry, False, False, 0)
    # Alt+R shows the password, as a "show password" toggle does, without moving the focus.
    accelerators = Gtk.AccelGroup()
    accelerators.connect(Gdk.keyval_from_name("r"), Gdk.ModifierType.MOD1_MASK, 0,
                         lambda *_: secret.set_visibility(True) or True)
    window.add_accel_group(accelerators)
if args.label:
    box.pack_start(Gtk.Label(label=args.label), True, True, 0)
window.add(box)
window.show_all()
if args.second:
    second = Gtk.Window(title=args.second)
    second.set_default_size(300, 200)
    second.show_all()
Gtk.main()
