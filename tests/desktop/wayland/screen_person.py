"""The test's hands and eyes on a headless GNOME session: mutter_remote.py run inside the
session, and what a test looks for on the screen it returns (the consent dialog's
buttons, the banner), read from raw RGB frames."""

import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
REMOTE = os.path.join(HERE, "mutter_remote.py")


class ScreenPerson:
    def __init__(self, gnome, workdir=None):
        # A session of a user of its own writes only where that user may.
        self.gnome, self.dir = gnome, (workdir if gnome.uid is None else None) or gnome.dir
        self.size = gnome.size
        self.proc = gnome.popen(["/usr/bin/python3", REMOTE, str(self.size[0]), str(self.size[1])],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ready = self.proc.stdout.readline().strip()
        if ready != "ready":
            raise AssertionError(f"mutter_remote.py did not start: {ready!r}")

    def _do(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        if answer != "ok":
            raise AssertionError(f"{command}: {answer or 'mutter_remote.py exited'}")

    def click(self, x, y):
        self._do(f"click {x} {y}")

    def key(self, keysym):
        self._do(f"key {keysym:#x}")

    def pixel(self, x, y):
        """The screen's colour at (x, y) now, as (r, g, b)."""
        return self.frame().at(x, y)

    def shot(self, path):
        if self.gnome.uid is None:
            return self._do(f"shot {path}")
        own = os.path.join(self.dir, "shot.png")
        self._do(f"shot {own}")
        shutil.copyfile(own, path)
        os.unlink(own)

    def frame(self):
        path = os.path.join(self.dir, "frame.rgb")
        self._do(f"raw {path}")
        with open(path, "rb") as f:
            return Frame(f.read(), self.size)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Frame:
    def __init__(self, data, size):
        self.data, (self.width, self.height) = data, size

    def at(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def box(self, matches, top=0, bottom=None):
        """The bounding box (x0, y0, x1, y1) of the pixels `matches` takes, or None."""
        xs, ys = [], []
        for y in range(top, bottom or self.height, 2):
            row = self.data[y * self.width * 3:(y + 1) * self.width * 3]
            for x in range(0, self.width, 2):
                if matches(row[3 * x], row[3 * x + 1], row[3 * x + 2]):
                    xs.append(x)
                    ys.append(y)
        return (min(xs), min(ys), max(xs), max(ys)) if len(xs) > 40 else None

    def consent_buttons(self):
        """The centres of the dialog's "Ablehnen" and "Erlauben", or None without the
        dialog. Erlauben is the theme's blue default button; Ablehnen sits left of it."""
        box = self.box(lambda r, g, b: b > 210 and g > 115 and r < 110)
        if not box or box[2] - box[0] < 60 or box[3] - box[1] > 60:
            return None
        x0, y0, x1, y1 = box
        centre_y = (y0 + y1) // 2
        return (x0 - 60, centre_y), ((x0 + x1) // 2, centre_y)

    def portal_dialog(self, scale=1.0):
        """The centres of the desktop portal's sharing dialog's "Cancel", "Share" and
        "Allow remote interaction" switch, or None without the dialog. Share is the theme's
        blue button at the dialog's top right (looked for above the monitor list, whose
        focus ring is blue too); the dialog is centred, so Cancel mirrors it, and the
        switch ends its second row. Read it before turning the switch on: it is blue then.
        `scale` is the monitor's: the dialog is drawn that much larger."""
        box = self.box(lambda r, g, b: b > 210 and g > 115 and r < 110, bottom=self.height // 2 - 60)
        if not box or box[2] - box[0] < 40 or box[3] - box[1] > 60 * scale:
            return None
        share = ((box[0] + box[2]) // 2, (box[1] + box[3]) // 2)
        return {"cancel": (self.width - share[0], share[1]), "share": share,
                "allow_input": (share[0] - round(23 * scale), share[1] + round(199 * scale))}

    def banner(self):
        """The box of the banner's white text and button outline, or None. mutter places
        it (a Wayland client cannot), somewhere near the top left."""
        box = self.box(lambda r, g, b: r > 235 and g > 235 and b > 235, top=0, bottom=self.height // 3)
        return box if box and box[2] - box[0] > 200 else None

    def banner_button(self):
        """Where to click the banner's "Beenden", or None without the banner: the right end
        of its red (the theme's warning red, over whatever lies beneath), which the button
        fills but for the rounded margin. Found even where a window covers the rest."""
        box = self.box(lambda r, g, b: r > 190 and g < 55 and b < 75)
        return (box[2] - 25, (box[1] + box[3]) // 2) if box and box[2] - box[0] > 40 else None
