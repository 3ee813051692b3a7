#!/usr/bin/python3
"""A window to look at and click in a remote-desktop session: it covers the screen,
shows where it was last clicked and what was typed, and reports each click as a JSON
line on stdout ({"ev":"click","button":B,"x":X,"y":Y} in root coordinates).

Usage: DISPLAY=:N demo_window.py"""

import json
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, Gtk  # noqa: E402

STYLE = b"""
#demo { background: #1f4d5c; }
#demo label { color: #ffffff; font: 26px sans-serif; }
#demo #typed { font: 40px monospace; color: #ffd23f; }
"""


def main():
    window = Gtk.Window(title="vela remote-desktop demo")
    window.set_name("demo")
    css = Gtk.CssProvider()
    css.load_from_data(STYLE)
    Gtk.StyleContext.add_provider_for_screen(window.get_screen(), css, Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
    monitor = Gdk.Display.get_default().get_monitor(0).get_geometry()
    window.move(0, 0)
    window.set_default_size(monitor.width, monitor.height)

    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=24, margin=40)
    box.pack_start(Gtk.Label(label="Click anywhere or type: this is the agent's screen, seen from the "
                                   "operator page", xalign=0, wrap=True), False, False, 0)
    clicked = Gtk.Label(label="no click yet", xalign=0)
    typed = Gtk.Label(label="", xalign=0, name="typed")
    box.pack_start(clicked, False, False, 0)
    box.pack_start(typed, False, False, 0)
    area = Gtk.EventBox()
    area.add(box)
    window.add(area)
    text = []

    def pressed(widget, event):
        clicked.set_text("button %d at %d, %d" % (event.button, event.x_root, event.y_root))
        print(json.dumps({"ev": "click", "button": event.button, "x": int(event.x_root), "y": int(event.y_root)}),
              flush=True)
        return True

    def key(widget, event):
        if event.keyval == Gdk.KEY_BackSpace and text:
            text.pop()
        elif event.string and event.string.isprintable():
            text.append(event.string)
        typed.set_text("".join(text)[-40:])
        return True

    area.connect("button-press-event", pressed)
    window.connect("key-press-event", key)
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    print(json.dumps({"ev": "ready"}), flush=True)
    Gtk.main()


if __name__ == "__main__":
    if not Gtk.init_check(sys.argv)[0]:
        sys.exit("demo_window: cannot open the display")
    main()
