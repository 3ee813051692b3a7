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


STYLE = ("#left { background: #%02x%02x%02x; } #right { background: #%02x%02x%02x; } "
         "#bar { background: #ffffff; }" % (*COLOURS[0], *COLOURS[1])).encode()


def main(animate):
    window = Gtk.Window(title="vela wayland test window")
    css = Gtk.CssProvider()
    css.load_from_data(STYLE)
    Gtk.StyleContext.add_provider_for_screen(window.get_screen(), css, Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
    halves = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL, homogeneous=True)
    for name in ("left", "right"):
        halves.pack_start(Gtk.EventBox(name=name), True, True, 0)
    overlay = Gtk.Overlay()
    overlay.add(halves)
    bar = Gtk.EventBox(name="bar", halign=Gtk.Align.START, valign=Gtk.Align.END, margin_bottom=40)
    bar.set_size_request(80, 80)
    if animate:
        overlay.add_overlay(bar)
    area = Gtk.EventBox()
    area.add(overlay)
    area.add_events(Gdk.EventMask.BUTTON_PRESS_MASK)
    window.add(area)
    text = []

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
        width = max(area.get_allocated_width() - 80, 1)
        bar.set_margin_start((bar.get_margin_start() + 12) % width)
        return True

    area.connect("button-press-event", pressed)
    window.connect("key-press-event", key)
    window.connect("destroy", Gtk.main_quit)
    window.fullscreen()
    window.show_all()
    # Ready once the compositor has shown the full-screen window.
    GLib.timeout_add(700, shown)
    if animate:
        GLib.timeout_add(16, tick)
    Gtk.main()


if __name__ == "__main__":
    if not Gtk.init_check(sys.argv)[0]:
        sys.exit("wayland_test_window: cannot open the display")
    main("--animate" in sys.argv)
