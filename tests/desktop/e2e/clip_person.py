#!/usr/bin/python3
"""The person at the machine's clipboard, through GTK on $DISPLAY: reads JSON lines on
stdin, {"set": TEXT} takes the CLIPBOARD selection with TEXT (served until the next
owner), {"get": true} answers one line {"text": TEXT or null}."""

import json
import os
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
STDIN = sys.stdin.fileno()
pending = bytearray()


def on_stdin(fd, condition):
    # Straight from the descriptor, every whole line each time: sys.stdin's buffer could
    # hold a second command that no further readiness of the descriptor would announce.
    chunk = os.read(fd, 1 << 20)
    if not chunk:
        Gtk.main_quit()
        return False
    pending.extend(chunk)
    while (end := pending.find(b"\n")) >= 0:
        command = json.loads(pending[:end])
        del pending[:end + 1]
        if "set" in command:
            clipboard.set_text(command["set"], -1)
        else:
            print(json.dumps({"text": clipboard.wait_for_text()}), flush=True)
    return True


GLib.io_add_watch(STDIN, GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP, on_stdin)
print(json.dumps({"ready": True}), flush=True)
Gtk.main()
