#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Prints the accessibility tree of a running Quillfeed as a screen reader sees it
over AT-SPI: role, name and, for text objects, the text itself (first lines).
Then presses the first "Force Transfer" through AT-SPI and prints the text changes
a screen reader is told of, as it would announce them."""
import sys
import time

import pyatspi
from gi.repository import GLib


def find_app(name, wait_s):
    deadline = time.time() + wait_s
    while time.time() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name == name:
                return app
        time.sleep(0.5)
    return None


def describe(node):
    line = "%s \"%s\"" % (node.getRoleName(), node.name)
    try:
        text = node.queryText()
        content = text.getText(0, text.characterCount)
        shown = content[:300].replace("\r", "\\r").replace("\n", "\\n")
        line += " text[%d]=\"%s\"" % (text.characterCount, shown)
    except NotImplementedError:
        pass
    return line


def walk(node, depth, out):
    out.append("  " * depth + describe(node))
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            walk(child, depth + 1, out)


def find(node, role, name):
    if node.getRoleName() == role and node.name == name:
        return node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        found = find(child, role, name) if child is not None else None
        if found is not None:
            return found
    return None


def main():
    app = find_app(sys.argv[1] if len(sys.argv) > 1 else "quillfeed", 20)
    if app is None:
        print("no such application on the accessibility bus", file=sys.stderr)
        return 1
    out = []
    walk(app, 0, out)
    print("\n".join(out))

    button = find(app, "push button", "Force Transfer")
    if button is None:
        return 0
    told = []

    def heard(event):
        if event.source is not None and event.source.name == "Status":
            told.append("%s at %d: \"%s\"" % (event.type, event.detail1,
                                             str(event.any_data)[:200].replace("\r", "\\r").replace("\n", "\\n")))

    pyatspi.Registry.registerEventListener(heard, "object:text-changed")
    GLib.timeout_add(500, lambda: button.queryAction().doAction(0) and False)
    GLib.timeout_add(3500, lambda: pyatspi.Registry.stop() or False)
    pyatspi.Registry.start()
    print()
    print("after pressing Force Transfer, the status box told:")
    print("\n".join("  " + t for t in told) if told else "  nothing")
    return 0


if __name__ == "__main__":
    sys.exit(main())
