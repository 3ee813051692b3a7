#!/usr/bin/python3
"""A GTK 3 window on the Wayland display, full screen, in two known colours (left half
COLOURS[0], right half COLOURS[1]) that reports on stdout, as JSON lines, that it is
shown ({"ev":"ready"}), each button press ({"ev":"click","button":B,"x":X,"y":Y}) and the
text typed so far ({"ev":"text","text":T}). With --animate it repaints a moving bar
without end, so the screen is never still.

Usage: GDK_BACKEND=wayland wayland_test_window.py [--animate]"""

import json
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

COLOURS = ((0xd0, 0x40, 0x20), (0x20, 0x60, 0xc0))


def say(**event):
    print(json.dumps(event), flush=True)


def main(animate):
    window = Gtk.Window(title="vela wayland test window")
    area = Gtk.DrawingArea()
    area.set_can_focus(True)
    area.add_events(Gdk.EventMask.BUTTON_PRESS_MASK | Gdk.EventMask.KEY_PRESS_MASK)
    window.add(area)
    text = []
    bar = [0]

    def draw(widget, cr):
        w, h = widget.get_allocated_width(), widget.get_allocated_height()
        for i, (r, g, b) in enumerate(COLOURS):
            cr.set_source_rgb(r / 255, g / 255, b / 255)
            cr.rectangle(i * w / 2, 0, w / 2, h)
            cr.fill()
        if animate:
            cr.set_source_rgb(1, 1, 1)
            cr.rectangle(bar[0] % w, h - 120, 80, 80)
            cr.fill()
        return False

    def pressed(widget, event):
        say(ev="click", button=event.button, x=int(event.x), y=int(event.y))
        return True

    def key(widget, event):
        if event.string and event.string.isprintable():
            text.append(event.string)
            say(ev="text", text="".join(text))
        return True

    def shown(*_):
        say(ev="ready", width=area.get_allocated_width(), height=area.get_allocated_height())
        return False

    def tick():
        bar[0] += 12
        area.queue_draw()
        return True

    area.connect("draw", draw)
    area.connect("button-press-event", pressed)
    window.connect("key-press-event", key)
    window.connect("destroy", Gtk.main_quit)
    window.fullscreen()
    window.show_all()
    area.grab_focus()
    # Ready once the compositor has shown the full-screen window.
    GLib.timeout_add(700, shown)
    if animate:
        GLib.timeout_add(16, tick)
    Gtk.main()


if __name__ == "__main__":
    if not Gtk.init_check(sys.argv)[0]:
        sys.exit("wayland_test_window: cannot open the display")
    main("--animate" in sys.argv)
