#!/usr/bin/python3
"""A plain GTK 3 window with one text field, for the demonstration run."""
import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gtk  # noqa: E402

window = Gtk.Window(title="Wellspire demo — notes")
window.set_default_size(720, 160)
window.move(120, 200)
entry = Gtk.Entry()
entry.set_placeholder_text("Write something…")
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, margin=24)
box.pack_start(Gtk.Label(label="How are you today?", xalign=0), False, False, 8)
box.pack_start(entry, False, False, 0)
window.add(box)
window.connect("destroy", Gtk.main_quit)
window.show_all()
entry.grab_focus()
Gtk.main()
