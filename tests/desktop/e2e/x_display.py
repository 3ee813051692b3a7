"""A private Xvfb and what a test does on it as the person at the machine: find a window
by its title, look at its pixels, move the pointer and type through XTest."""

import ctypes
import os
import re
import struct
import subprocess
import time
import zlib

X11 = ctypes.CDLL("libX11.so.6")
XTST = ctypes.CDLL("libXtst.so.6")
X11.XOpenDisplay.restype = ctypes.c_void_p
X11.XOpenDisplay.argtypes = [ctypes.c_char_p]
X11.XDefaultRootWindow.restype = ctypes.c_ulong
X11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
X11.XGetImage.restype = ctypes.c_void_p
X11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                          ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
X11.XFree.argtypes = [ctypes.c_void_p]
X11.XFlush.argtypes = [ctypes.c_void_p]
X11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
X11.XCloseDisplay.argtypes = [ctypes.c_void_p]
X11.XQueryPointer.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 7
XTST.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
XTST.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
X11.XDisplayWidth.argtypes = X11.XDisplayHeight.argtypes = [ctypes.c_void_p, ctypes.c_int]
X11.XStringToKeysym.restype = ctypes.c_ulong
X11.XStringToKeysym.argtypes = [ctypes.c_char_p]
X11.XKeysymToKeycode.restype = ctypes.c_ubyte
X11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]

ZPIXMAP = 2
ALL_PLANES = 0xFFFFFFFF


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_ubyte)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int), ("depth", ctypes.c_int),
                ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]


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

    def alive(self):
        return self.proc.poll() is None

    def kill(self):
        if self.alive():
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
        root, child = ctypes.c_ulong(), ctypes.c_ulong()
        rx, ry, wx, wy = ctypes.c_int(), ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        mask = ctypes.c_uint()
        X11.XQueryPointer(self.dpy, self.root, ctypes.byref(root), ctypes.byref(child), ctypes.byref(rx),
                          ctypes.byref(ry), ctypes.byref(wx), ctypes.byref(wy), ctypes.byref(mask))
        return rx.value, ry.value

    def move(self, x, y):
        XTST.XTestFakeMotionEvent(self.dpy, -1, int(x), int(y), 0)
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
        width, height = X11.XDisplayWidth(self.dpy, 0), X11.XDisplayHeight(self.dpy, 0)
        rows = self.pixels(0, 0, width, height)
        raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)

        def chunk(kind, data):
            return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                    + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))

    def pixels(self, x, y, width, height):
        """Rows of (r, g, b) of a screen rectangle."""
        image = X11.XGetImage(self.dpy, self.root, x, y, width, height, ALL_PLANES, ZPIXMAP)
        if not image:
            return None
        img = ctypes.cast(image, ctypes.POINTER(XImage)).contents
        stride, data = img.bytes_per_line, img.data
        raw = ctypes.string_at(data, stride * height)
        rows = [[(raw[r * stride + c * 4 + 2], raw[r * stride + c * 4 + 1], raw[r * stride + c * 4])
                 for c in range(width)] for r in range(height)]
        X11.XFree(data)
        X11.XFree(image)
        return rows

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

