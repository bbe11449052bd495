#!/usr/bin/python3
"""Reads a window of the process PID through AT-SPI, as a screen reader meets it, and presses one of
its buttons through its "click" action.

    agent_window.py PID TITLE [BUTTON]

Prints one JSON object: the window's labels (their text) and buttons (their names). Exits 1 when the
process has no window of that title, 2 when BUTTON is not there.
"""
import json
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def children(node):
    for i in range(min(node.get_child_count(), 128)):
        child = node.get_child_at_index(i)
        if child is not None:
            yield child


def descendants(node, depth=0):
    for child in children(node):
        yield child
        if depth < 10:
            yield from descendants(child, depth + 1)


def main():
    pid, title = int(sys.argv[1]), sys.argv[2]
    press = sys.argv[3] if len(sys.argv) > 3 else None
    for app in children(Atspi.get_desktop(0)):
        if app.get_process_id() != pid:
            continue
        for window in children(app):
            if window.get_name() != title:
                continue
            nodes = list(descendants(window))
            labels = [n.get_name() for n in nodes if n.get_role() == Atspi.Role.LABEL and n.get_name()]
            buttons = [n for n in nodes if n.get_role() in (Atspi.Role.PUSH_BUTTON, Atspi.Role.CHECK_BOX)]
            print(json.dumps({"labels": labels, "buttons": [b.get_name() for b in buttons]}))
            if press is None:
                return 0
            for button in buttons:
                if button.get_name().replace("&", "") == press:
                    for i in range(button.get_n_actions()):
                        if button.get_action_name(i) in ("click", "press", "Press"):
                            button.do_action(i)
                            return 0
            return 2
    return 1


if __name__ == "__main__":
    sys.exit(main())
