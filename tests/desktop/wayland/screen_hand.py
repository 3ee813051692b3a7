#!/usr/bin/python3
"""The person at the screen of a headless GNOME session, for tests: a remote-desktop
session of mutter's own (its API, not the agent's) that looks at the monitor and
presses keys and buttons. Runs inside the session's namespaces; reads one command a
line on stdin and answers "ok" (or "error: ...") on stdout:
  shot PATH        the screen as it is now, as a PNG
  pixel X Y        the colour at (X, Y) now, as "ok R G B"
  key CODE         presses and releases the evdev key CODE
  click X Y        moves the pointer to (X, Y) and clicks the left button

Usage: screen_hand.py"""

import os
import subprocess
import sys
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib, Gst  # noqa: E402

BTN_LEFT = 0x110
RD = "org.gnome.Mutter.RemoteDesktop"
SC = "org.gnome.Mutter.ScreenCast"


class Hand:
    def __init__(self):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        self.loop = GLib.MainLoop()
        threading.Thread(target=self.loop.run, daemon=True).start()
        self.session = self.call(RD, "/org/gnome/Mutter/RemoteDesktop", RD, "CreateSession", None)[0]
        session_id = self.call(RD, self.session, "org.freedesktop.DBus.Properties", "Get",
                               GLib.Variant("(ss)", (RD + ".Session", "SessionId")))[0]
        cast = self.call(SC, "/org/gnome/Mutter/ScreenCast", SC, "CreateSession",
                         GLib.Variant("(a{sv})", ({"remote-desktop-session-id": GLib.Variant("s", session_id)},)))[0]
        self.stream = self.call(SC, cast, SC + ".Session", "RecordMonitor",
                                GLib.Variant("(sa{sv})", ("Meta-0", {"cursor-mode": GLib.Variant("u", 1)})))[0]
        node = []
        self.bus.signal_subscribe(None, SC + ".Stream", "PipeWireStreamAdded", self.stream, None, 0,
                                  lambda *args: node.append(args[5].unpack()[0]))
        self.call(RD, self.session, RD + ".Session", "Start", None)
        deadline = time.monotonic() + 10
        while not node and time.monotonic() < deadline:
            time.sleep(0.02)
        if not node:
            sys.exit("screen_hand: mutter announced no stream")
        Gst.init(None)
        self.pipeline = Gst.parse_launch(
            f"pipewiresrc path={node[0]} ! videoconvert ! video/x-raw,format=RGB ! "
            "appsink name=sink max-buffers=1 drop=true")
        self.pipeline.set_state(Gst.State.PLAYING)
        self.sink = self.pipeline.get_by_name("sink")
        # A fresh virtual device can lose its first event.
        self.notify("NotifyKeyboardKeycode", "(ub)", (42, True))
        self.notify("NotifyKeyboardKeycode", "(ub)", (42, False))
        time.sleep(0.3)

    def call(self, dest, path, iface, method, params):
        return self.bus.call_sync(dest, path, iface, method, params, None, 0, 10000, None).unpack()

    def notify(self, method, signature, args):
        self.call(RD, self.session, RD + ".Session", method, GLib.Variant(signature, args))

    def picture(self):
        # The stream is damage-driven: the last picture it sent is the screen as it is.
        sample = self.sink.emit("try-pull-sample", 5 * Gst.SECOND) or self.sink.get_property("last-sample")
        if sample is None:
            raise RuntimeError("no picture from the screen")
        caps = sample.get_caps().get_structure(0)
        width, height = caps.get_value("width"), caps.get_value("height")
        buffer = sample.get_buffer()
        ok, info = buffer.map(Gst.MapFlags.READ)
        try:
            data = GLib.Bytes.new(bytes(info.data))
        finally:
            buffer.unmap(info)
        return GdkPixbuf.Pixbuf.new_from_bytes(data, GdkPixbuf.Colorspace.RGB, False, 8, width, height,
                                               len(data.get_data()) // height)

    def shot(self, path):
        self.picture().savev(path, "png", [], [])

    def pixel(self, x, y):
        picture = self.picture()
        at = y * picture.get_rowstride() + x * 3
        return tuple(picture.get_pixels()[at:at + 3])

    def key(self, code):
        self.notify("NotifyKeyboardKeycode", "(ub)", (code, True))
        self.notify("NotifyKeyboardKeycode", "(ub)", (code, False))

    def click(self, x, y):
        self.notify("NotifyPointerMotionAbsolute", "(sdd)", (self.stream, x, y))
        time.sleep(0.1)
        self.notify("NotifyPointerButton", "(ib)", (BTN_LEFT, True))
        self.notify("NotifyPointerButton", "(ib)", (BTN_LEFT, False))


class Client:
    """This program inside `gnome` (a GnomeSession), driven from the test's process."""

    def __init__(self, gnome):
        self.proc = gnome.popen(["/usr/bin/python3", os.path.abspath(__file__)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline().strip() != "ok":
            raise AssertionError("the screen hand did not start")

    def do(self, *words):
        self.proc.stdin.write(" ".join(str(w) for w in words) + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        if not answer.startswith("ok"):
            raise AssertionError(f"{words}: {answer}")
        return answer[2:].split()

    def pixel(self, x, y):
        return tuple(int(c) for c in self.do("pixel", x, y))

    def close(self):
        self.proc.kill()
        self.proc.wait()


def main():
    hand = Hand()
    print("ok", flush=True)
    for line in sys.stdin:
        words = line.split()
        try:
            if words[0] == "shot":
                hand.shot(words[1])
            elif words[0] == "pixel":
                print("ok %d %d %d" % hand.pixel(int(words[1]), int(words[2])), flush=True)
                continue
            elif words[0] == "key":
                hand.key(int(words[1]))
            elif words[0] == "click":
                hand.click(float(words[1]), float(words[2]))
            print("ok", flush=True)
        except Exception as error:  # noqa: BLE001 - the test reads the reason
            print(f"error: {error}", flush=True)


if __name__ == "__main__":
    main()
