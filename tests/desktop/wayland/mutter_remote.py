#!/usr/bin/python3
"""The person at a headless GNOME session, for tests: a remote-desktop session of its own
on mutter's API (as any remote-desktop server would open), linked to a screen cast of the
virtual monitor. Runs inside the session's namespaces and reads commands on stdin, one a
line, answering each with "ok" (or "error: ...") on stdout:
  key KEYSYM        press and release a key (Return 0xff0d, Escape 0xff1b)
  click X Y         move the pointer there and click the left button
  shot PATH         save the screen as it is now as a PNG
  raw PATH          the same as packed RGB rows, for the test to read

Usage: mutter_remote.py WIDTH HEIGHT [CONNECTOR]   (default Meta-0)"""

import os
import subprocess
import sys
import time

from gi.repository import Gio, GLib

RD, SC = "org.gnome.Mutter.RemoteDesktop", "org.gnome.Mutter.ScreenCast"
BTN_LEFT = 0x110


def call(bus, name, path, interface, method, args=None, reply=None):
    return bus.call_sync(name, path, interface, method, args, GLib.VariantType(reply) if reply else None,
                         Gio.DBusCallFlags.NONE, 10000, None)


class Remote:
    def __init__(self, size, connector):
        self.size = size
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        self.rd = call(self.bus, RD, "/org/gnome/Mutter/RemoteDesktop", RD, "CreateSession", None, "(o)")[0]
        session_id = call(self.bus, RD, self.rd, "org.freedesktop.DBus.Properties", "Get",
                          GLib.Variant("(ss)", (RD + ".Session", "SessionId")), "(v)")[0]
        sc = call(self.bus, SC, "/org/gnome/Mutter/ScreenCast", SC, "CreateSession",
                  GLib.Variant("(a{sv})", ({"remote-desktop-session-id": GLib.Variant("s", session_id)},)), "(o)")[0]
        self.stream = call(self.bus, SC, sc, SC + ".Session", "RecordMonitor",
                           GLib.Variant("(sa{sv})", (connector, {"cursor-mode": GLib.Variant("u", 1)})), "(o)")[0]
        self.node = None

        def added(_bus, _sender, _path, _iface, _signal, params):
            self.node = params[0]
        self.bus.signal_subscribe(SC, SC + ".Stream", "PipeWireStreamAdded", self.stream, None,
                                  Gio.DBusSignalFlags.NONE, added)
        call(self.bus, RD, self.rd, RD + ".Session", "Start")
        deadline = time.monotonic() + 10
        while self.node is None and time.monotonic() < deadline:
            GLib.MainContext.default().iteration(False)
            time.sleep(0.01)
        if self.node is None:
            raise SystemExit("no PipeWire stream from mutter")
        # The first event on a fresh virtual device can be lost.
        self.motion(1, 1)
        time.sleep(0.3)

    def session(self, method, signature, *args):
        call(self.bus, RD, self.rd, RD + ".Session", method, GLib.Variant(signature, args))

    def motion(self, x, y):
        self.session("NotifyPointerMotionAbsolute", "(sdd)", self.stream, float(x), float(y))

    def key(self, keysym):
        for pressed in (True, False):
            self.session("NotifyKeyboardKeysym", "(ub)", keysym, pressed)
            time.sleep(0.05)

    def click(self, x, y):
        self.motion(x, y)
        time.sleep(0.1)
        for pressed in (True, False):
            self.session("NotifyPointerButton", "(ib)", BTN_LEFT, pressed)
            time.sleep(0.05)

    def shot(self, path, raw=False):
        # The stream is damage-driven: the pointer's wiggle makes mutter send a picture.
        # The first may be an old one: the second is kept.
        encode = ["filesink", f"location={path}.all"] if raw else [
            "pngenc", "snapshot=false", "!", "multifilesink", f"location={path}.%d"]
        gst = subprocess.Popen(["gst-launch-1.0", "-q", "pipewiresrc", f"path={self.node}", "num-buffers=2", "!",
                                "videoconvert", "!", "video/x-raw,format=RGB", "!", *encode],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wiggle = 0
        while gst.poll() is None and wiggle < 200:
            wiggle += 1
            # In the bottom left corner, away from the banner and the dialog.
            self.motion(4 + wiggle % 2, self.size[1] - 4)
            time.sleep(0.05)
        if gst.poll() is None:
            gst.kill()
            raise RuntimeError("no picture from the screen cast")
        if gst.returncode != 0:
            raise RuntimeError(gst.stderr.read().decode()[-500:])
        if raw:
            with open(path + ".all", "rb") as f:
                data = f.read()
            os.unlink(path + ".all")
            with open(path, "wb") as f:
                f.write(data[-self.size[0] * self.size[1] * 3:])
        else:
            os.replace(path + ".1", path)
            os.unlink(path + ".0")


def main():
    remote = Remote((int(sys.argv[1]), int(sys.argv[2])), sys.argv[3] if len(sys.argv) > 3 else "Meta-0")
    print("ready", flush=True)
    for line in sys.stdin:
        words = line.split()
        try:
            if words[0] == "key":
                remote.key(int(words[1], 0))
            elif words[0] == "click":
                remote.click(float(words[1]), float(words[2]))
            elif words[0] in ("shot", "raw"):
                remote.shot(words[1], raw=words[0] == "raw")
            else:
                raise ValueError("unknown command " + words[0])
            print("ok", flush=True)
        except Exception as error:  # the test reads the failure and decides
            print(f"error: {error}", flush=True)


if __name__ == "__main__":
    main()
