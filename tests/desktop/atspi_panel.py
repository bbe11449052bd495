#!/usr/bin/env python3
"""Reads the agent's check-in panels through AT-SPI, as a screen reader meets them, and presses a
button of one through its "click" action.

    atspi_panel.py TITLE [BUTTON]

Prints one JSON object per panel whose accessible name is TITLE: its role, name, description and
buttons (name and actions). With BUTTON, the button of that name is clicked in the first such panel.
"""
import json
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def children(node):
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield child


def descendants(node, depth=0):
    for child in children(node):
        yield child
        if depth < 8:
            yield from descendants(child, depth + 1)


def actions(node):
    try:
        return [node.get_action_name(i) for i in range(node.get_n_actions())]
    except Exception:  # no Action interface
        return []


def main():
    title = sys.argv[1]
    press = sys.argv[2] if len(sys.argv) > 2 else None
    desktop = Atspi.get_desktop(0)
    found = []
    for app in children(desktop):
        for window in children(app):
            if window.get_name() != title:
                continue
            buttons = [b for b in descendants(window) if b.get_role() == Atspi.Role.PUSH_BUTTON]
            found.append((window, buttons))
            print(json.dumps({
                "application": app.get_name(),
                "role": window.get_role_name(),
                "name": window.get_name(),
                "description": window.get_description(),
                "buttons": [{"name": b.get_name(), "role": b.get_role_name(), "actions": actions(b)}
                            for b in buttons],
            }))
    if press and found:
        for button in found[0][1]:
            if button.get_name() == press:
                names = actions(button)
                button.do_action(names.index("click"))
                return 0
        return 2
    return 0 if found else 1


if __name__ == "__main__":
    sys.exit(main())
