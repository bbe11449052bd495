#!/usr/bin/python3
"""Answers the GNOME portal's "Screen Share" dialog as a user of a screen reader would: picks the
first monitor and presses Share, or presses Cancel. Waits up to --timeout seconds for the dialog.
Exits 0 once answered, 1 when no dialog came, 2 when it could not be worked."""
import argparse
import sys
import time

import gi

gi.require_version('Atspi', '2.0')
from gi.repository import Atspi  # noqa: E402


def find(node, test, depth=0):
    if node is None or depth > 14:
        return None
    try:
        if test(node):
            return node
        for i in range(min(node.get_child_count(), 64)):
            hit = find(node.get_child_at_index(i), test, depth + 1)
            if hit:
                return hit
    except gi.repository.GLib.Error:
        return None
    return None


def dialog():
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None or 'xdg-desktop-portal-gnome' not in (app.get_name() or ''):
            continue
        for j in range(app.get_child_count()):
            window = app.get_child_at_index(j)
            if window is not None and window.get_name() == 'Screen Share':
                return window
    return None


def press(button):
    action = button.get_action_iface()
    for i in range(action.get_n_actions()):
        if action.get_action_name(i) == 'click':
            return action.do_action(i)
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--cancel', action='store_true')
    parser.add_argument('--timeout', type=float, default=20)
    args = parser.parse_args()
    deadline = time.monotonic() + args.timeout
    window = None
    while time.monotonic() < deadline and window is None:
        window = dialog()
        if window is None:
            time.sleep(0.2)
    if window is None:
        print('no Screen Share dialog', file=sys.stderr)
        return 1
    role = Atspi.Role
    if not args.cancel:
        monitors = find(window, lambda n: n.get_role() == role.LIST)
        first = monitors.get_child_at_index(0) if monitors and monitors.get_child_count() else None
        if first is None or not monitors.get_selection_iface().select_child(0):
            print('no monitor to pick', file=sys.stderr)
            return 2
    label = 'Cancel' if args.cancel else 'Share'
    button = find(window, lambda n: n.get_role() == role.PUSH_BUTTON and (n.get_name() or '').endswith(label))
    # Share is enabled once a monitor is picked.
    for _ in range(25):
        if button and button.get_state_set().contains(Atspi.StateType.SENSITIVE):
            break
        time.sleep(0.1)
    if button is None or not press(button):
        print(f'could not press {label}', file=sys.stderr)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main())
