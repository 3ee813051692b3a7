"""Remote-desktop sessions on GNOME under Wayland whose monitor changes under them, end
to end, with the real agent, gateway and recording (wayland_stack.py) on a headless
session with two monitors: Meta-0 (1280x720, main, with the test window) and Meta-1
(800x600) to its right. Switched off in the display settings, Meta-0 stops sending
pictures while mutter keeps its stream open; the session must still end, with
capture_stopped and its recording final, and the next session records the monitor that
is left. The tests run in name order on one stack.

Usage: wayland_monitor_e2e.py AGENT_EXE (re-runs itself in namespaces of its own)."""

import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wayland_stack import WaylandStack  # noqa: E402
from desktop_stack import StackCase, agent_argument, open_frame  # noqa: E402

AGENT = None
UNATTENDED = {"mode": "unattended", "consent": False}


class WaylandMonitorEndToEnd(StackCase):
    @classmethod
    def setUpClass(cls):
        cls.s = WaylandStack(AGENT, more_monitors=[(800, 600)])

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_1_a_monitor_switched_off_ends_its_session(self):
        s = self.s
        s.gateway.send(open_frame("wl-off", **UNATTENDED))
        doc = s.frame("wl-off", "desktop.opened")["doc"]
        self.assertEqual(doc["video_size"], {"width": 1280, "height": 720})

        s.gnome.apply_monitors([("Meta-1", 0, 0, 1.0, 0)])
        closed = s.frame("wl-off", "desktop.closed")
        self.assertEqual(closed["reason"], "capture_stopped")
        self.assert_final_matches_file(s.frame("wl-off", "desktop.recording", state="final"))
        # The operator learns of it from `closed` alone, as when any capture stops.
        self.assertEqual(s.gateway.of("wl-off", "desktop.error"), [])
        self.assertIn("screen capture: monitor Meta-0 went away", s.log_text())
        self.assertIsNone(s.agent.poll())

    def test_2_the_next_session_records_the_monitor_left(self):
        s = self.s
        s.gateway.send(open_frame("wl-left", **UNATTENDED))
        doc = s.frame("wl-left", "desktop.opened")["doc"]
        self.assertEqual(doc["video_size"], {"width": 800, "height": 600})
        self.assertIn("recording monitor Meta-1 (800x600)", s.log_text())
        s.gateway.send({"type": "desktop.close", "session_id": "wl-left", "reason": "operator"})
        self.assert_final_matches_file(s.frame("wl-left", "desktop.recording", state="final"))
        s.gnome.signal(s.agent, signal.SIGTERM)
        self.assertEqual(s.agent.wait(), 0, s.log_text()[-3000:])


if __name__ == "__main__":
    AGENT = agent_argument(__doc__)
    unittest.main(argv=sys.argv[:1])
