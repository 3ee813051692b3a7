#!/usr/bin/python3
"""The person at the machine's clipboard, through GTK on $DISPLAY: reads JSON lines on
stdin, {"set": TEXT} takes the CLIPBOARD selection with TEXT (served until the next
owner), {"get": true} answers one line {"text": TEXT or null}."""

import json
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)


def on_stdin(source, condition):
    line = sys.stdin.readline()
    if not line:
        Gtk.main_quit()
        return False
    command = json.loads(line)
    if "set" in command:
        clipboard.set_text(command["set"], -1)
    else:
        print(json.dumps({"text": clipboard.wait_for_text()}), flush=True)
    return True


GLib.io_add_watch(sys.stdin, GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP, on_stdin)
print(json.dumps({"ready": True}), flush=True)
Gtk.main()
