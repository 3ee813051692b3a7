"""A remote-desktop session on GNOME under Wayland, end to end: a private headless GNOME
session with a GTK window on its Wayland display, the real agent (`vela-agent gateway`)
running inside the session's namespaces and enrolled against the test control plane,
and headless Chromium as the operator on the gateway's page. The operator sees the
window's pixels, its click and typed text reach the window, a still screen sends no
video, and mutter going away ends the session cleanly. The tests run in name order on
one stack.

Usage: wayland_session_e2e.py AGENT_EXE [SCREENSHOT_DIR] (re-runs itself in namespaces of
its own)."""

import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wayland_stack import WaylandStack, assert_operator_drives_the_window  # noqa: E402
from desktop_stack import StackCase, agent_argument, open_frame  # noqa: E402

AGENT = SHOTS = None
UNATTENDED = {"mode": "unattended", "consent": False}


class WaylandSessionEndToEnd(StackCase):
    @classmethod
    def setUpClass(cls):
        cls.s = WaylandStack(AGENT)
        cls.js = cls.s.browser.js

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def stats(self):
        return self.js("return velaOperator.stats()")

    def test_0_an_attended_session_without_a_consent_window_is_refused(self):
        # The agent has no window system here (no X display; GTK would end the process
        # with the compositor): consent cannot be asked, so it is not assumed.
        s = self.s
        s.gateway.send(open_frame("wl-attended", mode="attended", consent=True))
        closed = s.frame("wl-attended", "desktop.closed")
        self.assertEqual(closed["reason"], "consent_unavailable")
        error = s.gateway.of("wl-attended", "desktop.error")[0]
        self.assertIn("no window system", error["message"])
        self.assertEqual(s.gateway.of("wl-attended", "desktop.opened"), [])

    def test_1_the_operator_sees_the_window_and_drives_it(self):
        s, js, session = self.s, self.js, "wl-1"
        js("velaSession.open(arguments[0], {session: arguments[1], mode: 'unattended', consent: false})",
           s.agent_id, session)
        assert_operator_drives_the_window(self, s, session)
        if SHOTS:
            # The operator's view of the Wayland window.
            s.browser.driver.save_screenshot(os.path.join(SHOTS, "wayland-operator-page.png"))

    def test_2_a_still_screen_sends_no_video(self):
        s = self.s
        # The last input's repaint and the cursor settle, and the recording's picture a
        # second after the last change goes out.
        time.sleep(1.5)
        before = self.stats()
        time.sleep(3)
        after = self.stats()
        # Nothing but the keyframe the page's decoder asks for after 3 s without a picture.
        received = after["framesReceived"] - before["framesReceived"]
        self.assertLessEqual(received, after["pliCount"] - before["pliCount"])
        self.assertLessEqual(received, 1)

    def test_3_mutter_ending_ends_the_session_cleanly(self):
        s = self.s
        s.gnome.kill_mutter()
        closed = s.frame("wl-1", "desktop.closed")
        self.assertEqual(closed["reason"], "capture_stopped")
        self.assert_final_matches_file(s.frame("wl-1", "desktop.recording", state="final"))
        self.assertIn("mutter left the session bus", s.log_text())

        # Without mutter, a new session fails at once and says why.
        s.gateway.send(open_frame("wl-nomutter", **UNATTENDED))
        s.frame("wl-nomutter", "desktop.closed")
        frames = s.gateway.of("wl-nomutter")
        self.assertEqual([f["type"] for f in frames], ["desktop.error", "desktop.closed"])
        self.assertIn("org.gnome.Mutter.RemoteDesktop", frames[0]["message"])
        self.assertEqual(frames[1]["reason"], "capture_failed")
        s.gnome.signal(s.agent, signal.SIGTERM)
        self.assertEqual(s.agent.wait(), 0, s.log_text()[-3000:])


if __name__ == "__main__":
    AGENT = agent_argument(__doc__)
    SHOTS = sys.argv[1] if len(sys.argv) > 1 else None
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=sys.argv[:1])
