"""The foreground commands' windows on a Wayland session: quick assist's code window and
the first-start window, each opened by the real agent inside a private headless GNOME
session (no X display at all), found on the screen read from a screen cast and saved as
a screenshot; and a window host that cannot reach the compositor.

Usage: wayland_windows_test.py AGENT_EXE [SCREENSHOT_DIR]"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from gnome_session import GnomeSession, wait_until  # noqa: E402
from screen_person import ScreenPerson  # noqa: E402

AGENT = SHOTS = None


class WaylandWindows(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vela-wayland-windows-")
        cls.gnome = GnomeSession(1280, 720)
        cls.person = ScreenPerson(cls.gnome, cls.tmp)
        # Away from the build tree, so no installer's provisioning lies beside it.
        cls.exe = os.path.join(cls.tmp, "vela-agent")
        shutil.copy(AGENT, cls.exe)
        supp = os.path.normpath(os.path.join(HERE, "..", "linux", "lsan.supp"))
        cls.env = {"LSAN_OPTIONS": "suppressions=" + supp}

    @classmethod
    def tearDownClass(cls):
        cls.person.close()
        cls.gnome.close()
        if not os.environ.get("VELA_E2E_KEEP"):
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def window_of(self, name, *args):
        """Runs the agent with `args` and waits for its window: a light box on the dark
        desktop. Returns the box; the agent is ended afterwards."""
        state = tempfile.mkdtemp(dir=self.tmp)
        log_path = os.path.join(self.tmp, name + ".log")
        with open(log_path, "wb") as log:
            agent = self.gnome.popen([self.exe, "-v", *args], env=dict(self.env, VELA_STATE_DIR=state, TMPDIR=state),
                                     stdout=log, stderr=log)
        self.addCleanup(lambda: (self.gnome.signal(agent, signal.SIGKILL), agent.wait()))

        def log_text():
            with open(log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")[-3000:]
        box = wait_until(f"the {name} window on the screen",
                         lambda: self.person.frame().box(lambda r, g, b: min(r, g, b) > 225),
                         timeout=60, failure=lambda: agent.poll() is not None and log_text())
        self.assertGreater(box[2] - box[0], 250, box)
        self.assertGreater(box[3] - box[1], 100, box)
        if SHOTS:
            self.person.shot(os.path.join(SHOTS, f"wayland-{name}.png"))
        self.assertIsNone(agent.poll(), log_text())
        self.assertNotIn("no window can be shown", log_text())
        return box

    def test_quick_assist_code_window(self):
        self.window_of("quick-assist-code", "quick-assist", "--server", "https://127.0.0.1:9")

    def test_first_start_window(self):
        self.window_of("onboarding", "run")

    def test_a_window_host_without_a_display_hangs_up_unready(self):
        # Its parent then counts the consent it would have asked as declined.
        ours, theirs = socket.socketpair()
        host = self.gnome.popen([self.exe, "--window-host"], env=dict(self.env, WAYLAND_DISPLAY="wayland-none"),
                                stdin=theirs, stderr=subprocess.PIPE)
        theirs.close()
        with ours:
            ours.settimeout(60)
            self.assertEqual(ours.recv(4096), b"")
        self.assertEqual(host.wait(), 1)
        self.assertIn(b"GTK cannot open the Wayland display wayland-none", host.stderr.read())


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    AGENT = sys.argv[1]
    SHOTS = sys.argv[2] if len(sys.argv) > 2 else None
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=sys.argv[:1])
