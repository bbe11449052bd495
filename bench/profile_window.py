#!/usr/bin/python3
"""A full-screen window of dense text with a focused text field, for profiling the running agent.

  profile_window.py static    nothing changes
  profile_window.py changing  one line of the page gains a word every 1.5 s, and the field a word
                              every 3 s, as if someone were writing
  profile_window.py typing    the field gains a letter every 200 ms, a word at a time
"""
import random
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

WORDS = ("morning coffee meeting project deadline tired weekend family music walk window garden "
         "letter friend quiet evening river market travel story screen message reply schedule "
         "dinner careful simple moment breath notes").split()

mode = sys.argv[1] if len(sys.argv) > 1 else "static"
rng = random.Random(7)
settings = Gtk.Settings.get_default()
settings.set_property("gtk-cursor-blink", False)

window = Gtk.Window(title="Wellspire profile — notes")
window.set_default_size(1900, 1040)
window.move(0, 0)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, margin=16, spacing=2)
entry = Gtk.Entry()
entry.set_text("a quiet afternoon with notes to write")
box.pack_start(entry, False, False, 6)
lines = []
for _ in range(44):
    words = [rng.choice(WORDS) for _ in range(18)]
    label = Gtk.Label(label=" ".join(words), xalign=0)
    box.pack_start(label, False, False, 0)
    lines.append((label, words))
window.add(box)
window.connect("destroy", Gtk.main_quit)
window.show_all()
entry.grab_focus()


def change_line():
    label, words = rng.choice(lines)
    if len(words) > 24:
        del words[18:]
    words.append(rng.choice(WORDS))
    label.set_text(" ".join(words))
    return True


def type_word():
    text = entry.get_text()
    if len(text) > 160:
        text = "notes"
    entry.set_text(text + " " + rng.choice(WORDS))
    entry.set_position(-1)
    return True


pending = []


def type_letter():
    if not pending:
        pending.extend(" " + rng.choice(WORDS))
    text = entry.get_text()
    if len(text) > 160:
        text = "notes"
    entry.set_text(text + pending.pop(0))
    entry.set_position(-1)
    return True


if mode == "typing":
    GLib.timeout_add(200, type_letter)
if mode == "changing":
    GLib.timeout_add(1500, change_line)
    GLib.timeout_add(3000, type_word)
Gtk.main()
