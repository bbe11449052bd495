#!/usr/bin/python3
"""Replaces the text of the focused field of one process through its accessible interface, with no
input event at all (input would end the X server's screen saver): an application changing its own
text. Usage: atspi_set_text.py PID TEXT. Exits 1 when that process has no focused editable field."""
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

pid, text = int(sys.argv[1]), sys.argv[2]


def focused(node, depth=0):
    if node is None or depth > 12:
        return None
    if node.get_state_set().contains(Atspi.StateType.FOCUSED) and "EditableText" in node.get_interfaces():
        return node
    for i in range(node.get_child_count()):
        found = focused(node.get_child_at_index(i), depth + 1)
        if found:
            return found
    return None


desktop = Atspi.get_desktop(0)
for i in range(desktop.get_child_count()):
    app = desktop.get_child_at_index(i)
    if app is not None and app.get_process_id() == pid:
        field = focused(app)
        if field and Atspi.EditableText.set_text_contents(field, text):
            sys.exit(0)
sys.exit(1)
