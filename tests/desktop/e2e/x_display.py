"""A private Xvfb and what a test does on it as the person at the machine: find a window
by its title, take a screenshot, move the pointer, click and type through XTest."""

import ctypes
import os
import re
import subprocess
import time

X11 = ctypes.CDLL("libX11.so.6")
XTST = ctypes.CDLL("libXtst.so.6")
X11.XOpenDisplay.restype = ctypes.c_void_p
X11.XOpenDisplay.argtypes = [ctypes.c_char_p]
X11.XDefaultRootWindow.restype = ctypes.c_ulong
X11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
X11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
X11.XCloseDisplay.argtypes = [ctypes.c_void_p]
X11.XQueryPointer.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 7
XTST.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
XTST.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
XTST.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
X11.XStringToKeysym.restype = ctypes.c_ulong
X11.XStringToKeysym.argtypes = [ctypes.c_char_p]
X11.XKeysymToKeycode.restype = ctypes.c_ubyte
X11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]


class Xvfb:
    """Xvfb on a free display number (-displayfd); `name` is ":N"."""

    def __init__(self, width=1280, height=720):
        read, write = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", f"{width}x{height}x24",
                                      "-nolisten", "tcp"], pass_fds=(write,), stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            number = f.readline().strip()
        if not number:
            raise AssertionError("Xvfb did not start")
        self.name = ":" + number
        self.size = (width, height)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


class Screen:
    """An X client of the test's own on `display`."""

    def __init__(self, display):
        self.display_name = display
        self.dpy = X11.XOpenDisplay(display.encode())
        if not self.dpy:
            raise AssertionError("cannot open " + display)
        self.root = X11.XDefaultRootWindow(self.dpy)

    def close(self):
        if self.dpy:
            X11.XCloseDisplay(self.dpy)
            self.dpy = None

    def pointer(self):
        # root, child, root x, root y, window x, window y, button mask
        out = [ctypes.c_ulong(), ctypes.c_ulong(), *(ctypes.c_int() for _ in range(4)), ctypes.c_uint()]
        X11.XQueryPointer(self.dpy, self.root, *map(ctypes.byref, out))
        return out[2].value, out[3].value

    def move(self, x, y):
        XTST.XTestFakeMotionEvent(self.dpy, -1, int(x), int(y), 0)
        X11.XSync(self.dpy, 0)

    def click(self, x, y):
        """Moves the pointer there and clicks button 1."""
        self.move(x, y)
        XTST.XTestFakeButtonEvent(self.dpy, 1, 1, 0)
        XTST.XTestFakeButtonEvent(self.dpy, 1, 0, 0)
        X11.XSync(self.dpy, 0)

    def key(self, name):
        """Presses and releases one key by its keysym name (Return, space, 7)."""
        code = X11.XKeysymToKeycode(self.dpy, X11.XStringToKeysym(name.encode()))
        XTST.XTestFakeKeyEvent(self.dpy, code, 1, 0)
        XTST.XTestFakeKeyEvent(self.dpy, code, 0, 0)
        X11.XSync(self.dpy, 0)
        time.sleep(0.03)

    def type(self, text):
        for c in text:
            self.key({" ": "space", "-": "minus"}.get(c, c))

    def screenshot(self, path):
        """The whole screen as a PNG."""
        subprocess.run(["gst-launch-1.0", "-q", "ximagesrc", "display-name=" + self.display_name, "num-buffers=1",
                        "show-pointer=false", "!", "videoconvert", "!", "pngenc", "!", "filesink",
                        "location=" + path], check=True, stdout=subprocess.DEVNULL)

    def xwininfo(self, *args):
        return subprocess.run(["xwininfo", "-display", self.display_name, *args],
                              capture_output=True, text=True).stdout

    def window(self, title):
        """(x, y, width, height) of the mapped top-level window whose title holds `title`."""
        for line in self.xwininfo("-root", "-children").splitlines():
            m = re.search(r"^\s*(0x[0-9a-f]+) .*\)\s+(\d+)x(\d+)\+(-?\d+)\+(-?\d+)", line)
            if m and title in line and "IsViewable" in self.xwininfo("-id", m.group(1)):
                w, h, x, y = (int(v) for v in m.groups()[1:])
                return x, y, w, h
        return None

