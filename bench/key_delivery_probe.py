#!/usr/bin/python3
"""How long a key takes to reach a GTK 3 field: GTK holds each key until the accessibility registry
answers (NotifyListenersSync), and the registry first asks every keystroke listener.

  key_delivery_probe.py field                  a GTK 3 window whose entry prints, for every key
                                               press, its letter, when GDK handed it to GTK and
                                               when the window's key handler saw it (CLOCK_MONOTONIC
                                               ms; GTK asks the registry in between)
  key_delivery_probe.py type COUNT INTERVAL    types COUNT letters, one wtype each, INTERVAL ms
                                               apart, printing each letter and when it was sent"""
import collections
import subprocess
import sys
import time


def now_ms():
    return time.clock_gettime(time.CLOCK_MONOTONIC) * 1000.0


def field():
    import gi

    gi.require_version("Gdk", "3.0")
    gi.require_version("Gtk", "3.0")
    from gi.repository import Gdk, Gtk

    # By hardware key code: GTK may take the next key in while it waits for the registry.
    arrived = collections.defaultdict(collections.deque)

    def on_event(event, *_):
        if event.type == Gdk.EventType.KEY_PRESS:
            arrived[event.key.hardware_keycode].append(now_ms())
        Gtk.main_do_event(event)

    def on_key(_widget, event):
        queue = arrived.get(event.hardware_keycode)
        if event.string and queue:
            print("%s %.3f %.3f" % (event.string, queue.popleft(), now_ms()), flush=True)
        return False

    Gdk.Event.handler_set(on_event)
    window = Gtk.Window(title="key delivery")
    window.add(Gtk.Entry())
    window.connect("key-press-event", on_key)
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    Gtk.main()


def type_letters(count, interval):
    children = []
    for i in range(count):
        letter = "abcdefghijklmnopqrstuvwxyz"[i % 26]
        print("%s %.3f" % (letter, now_ms()), flush=True)
        children.append(subprocess.Popen(["wtype", letter]))
        time.sleep(interval / 1000.0)
    for child in children:
        child.wait()


if sys.argv[1] == "field":
    field()
else:
    type_letters(int(sys.argv[2]), float(sys.argv[3]))
