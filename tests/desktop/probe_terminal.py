#!/usr/bin/python3
"""A VTE terminal for the desktop tests, as GNOME's terminals embed it: a shell-like `cat` that echoes
what is typed after a line of output."""
import argparse

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Vte", "2.91")
from gi.repository import GLib, Gtk, Vte  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--title", required=True)
args = parser.parse_args()

window = Gtk.Window(title=args.title)
window.set_default_size(640, 360)
window.connect("destroy", Gtk.main_quit)
terminal = Vte.Terminal()
terminal.spawn_async(Vte.PtyFlags.DEFAULT, None,
                     ["/bin/sh", "-c", "echo 'output of a command the user ran in this terminal'; exec cat"],
                     None, GLib.SpawnFlags.DEFAULT, None, None, -1, None, None)
window.add(terminal)
window.show_all()
terminal.grab_focus()
Gtk.main()
