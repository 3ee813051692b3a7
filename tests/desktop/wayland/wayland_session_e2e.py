"""A remote-desktop session on GNOME under Wayland, end to end: a private headless GNOME
session with a GTK window on its Wayland display, the real agent (`vela-agent gateway`)
running inside the session's namespaces and enrolled against the test control plane,
and headless Chromium as the operator on the gateway's page. The operator sees the
window's pixels, its click and typed text reach the window, a still screen sends no
video, a monitor turned under a session ends it and the next one sees the monitor turned,
and mutter going away ends the session cleanly. The consent dialog and the banner
are shown by the agent's window host; the test answers the dialog as the person at the
screen would, with clicks through mutter's remote-desktop API, and reads the screen from
a screen cast of its own. The tests run in name order on one stack.

Usage: wayland_session_e2e.py AGENT_EXE [SCREENSHOT_DIR] (re-runs itself in namespaces of
its own)."""

import json
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wayland_stack import WaylandStack, assert_operator_drives_the_window  # noqa: E402
from desktop_stack import StackCase, agent_argument, open_frame, video_decoded  # noqa: E402

AGENT = SHOTS = None
UNATTENDED = {"mode": "unattended", "consent": False}


class WaylandSessionEndToEnd(StackCase):
    @classmethod
    def setUpClass(cls):
        cls.s = WaylandStack(AGENT, shots=SHOTS)
        cls.js = cls.s.browser.js

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def stats(self):
        return self.js("return velaOperator.stats()")

    def test_0_a_declined_consent_refuses_the_session(self):
        s = self.s
        s.gateway.send(open_frame("wl-declined", mode="attended", consent=True, operator="Eva"))
        decline, _ = s.consent_buttons()
        self.assertEqual(s.gateway.of("wl-declined", "desktop.opened"), [])
        s.person.click(*decline)
        closed = s.frame("wl-declined", "desktop.closed")
        self.assertEqual(closed["reason"], "consent_declined")
        self.assertEqual(s.gateway.of("wl-declined", "desktop.opened"), [])
        self.assertEqual(s.gateway.of("wl-declined", "desktop.signal"), [])

    def test_0_b_a_consent_whose_window_host_dies_counts_as_declined(self):
        s = self.s
        # The declined session's host, and its dialog, must not be taken for this one's.
        s.wait("the last session's window host gone", lambda: not s.window_hosts())
        s.gateway.send(open_frame("wl-hostdies", mode="attended", consent=True, operator="Eva"))
        s.consent_buttons()
        hosts = s.window_hosts()
        self.assertEqual(len(hosts), 1, hosts)
        os.kill(hosts[0], signal.SIGKILL)
        closed = s.frame("wl-hostdies", "desktop.closed")
        self.assertEqual(closed["reason"], "consent_declined")
        self.assertIn("consent counted as declined: its dialog's window host ended", s.log_text())
        self.assertIsNone(s.agent.poll())

    def test_0_c_an_attended_session_the_person_allows(self):
        s, js, session = self.s, self.js, "wl-attended"
        js("velaSession.open(arguments[0], {session: arguments[1], operatorName: 'Eva'})", s.agent_id, session)
        _, allow = s.consent_buttons(shot="wayland-consent-dialog.png")
        s.person.click(*allow)
        doc = s.frame(session, "desktop.opened")["doc"]
        self.assertEqual((doc["consent"], doc["recording_ready"]), ("accepted", True))
        self.assertEqual(doc["indicator_ack"]["text_version"], "v1-447ac6c8")
        s.banner_on_screen(shot="wayland-banner.png")
        video_decoded(s)
        js("velaSession.close()")
        self.assert_final_matches_file(s.frame(session, "desktop.recording", state="final"))
        s.wait("the banner gone", lambda: not s.person.frame().banner())

    def test_1_the_operator_sees_the_window_and_drives_it(self):
        s, js, session = self.s, self.js, "wl-1"
        js("velaSession.open(arguments[0], {session: arguments[1], mode: 'unattended', consent: false})",
           s.agent_id, session)
        s.frame(session, "desktop.opened")
        # The unattended session's banner too, before the clicks below raise the window
        # over it: on Wayland nothing keeps it above.
        s.banner_on_screen()
        assert_operator_drives_the_window(self, s, session)
        if SHOTS:
            # The operator's view of the Wayland window.
            s.browser.driver.save_screenshot(os.path.join(SHOTS, "wayland-operator-page.png"))

    def test_2_a_still_screen_sends_no_video(self):
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

    def test_2_b_a_monitor_turned_under_the_session_ends_it_and_the_next_sees_it_turned(self):
        s, js = self.s, self.js
        s.gnome.apply_monitors([("Meta-0", 0, 0, 1.0, 1)])
        closed = s.frame("wl-1", "desktop.closed")
        self.assertEqual(closed["reason"], "capture_stopped")
        self.assert_final_matches_file(s.frame("wl-1", "desktop.recording", state="final"))
        self.assertIn("monitor Meta-0 changed its size from 1280x720 to 720x1280", s.log_text())
        self.assertIsNone(s.agent.poll())

        js("velaSession.open(arguments[0], {session: arguments[1], mode: 'unattended', consent: false})",
           s.agent_id, "wl-2")
        doc = s.frame("wl-2", "desktop.opened")["doc"]
        self.assertEqual(doc["video_size"], {"width": 720, "height": 1280})
        s.wait("portrait video decoded in the page", lambda: self.js(
            "const v = document.getElementById('screen'); return [v.videoWidth, v.videoHeight]") == [720, 1280])
        # The fullscreen window turned with the monitor: a click lands where the operator
        # sees it, mutter turning stream positions as it turned the picture. Sent as the
        # page's own mouse handlers send it (fractions of the picture); the browser's side
        # of a click is test_1's.
        s.wait("input channel open", lambda: js("return velaOperator.channelOpen('input')"))
        clicks = sum(1 for e in list(s.events) if e["ev"] == "click")
        fx, fy = 0.3, 0.6
        for kind in ("move", "down", "up"):
            self.assertTrue(js("return velaOperator.sendOn('input', arguments[0])",
                               json.dumps({"t": "m", "e": kind, "b": 0, "x": fx, "y": fy})))
        click = s.wait("the click on the turned window",
                       lambda: ([e for e in list(s.events) if e["ev"] == "click"][clicks:] or [None])[0])
        self.assertLessEqual(max(abs(click["x"] - fx * 720), abs(click["y"] - fy * 1280)), 3, click)
        if SHOTS:
            s.browser.driver.save_screenshot(os.path.join(SHOTS, "wayland-operator-turned-monitor.png"))

    def test_3_mutter_ending_ends_the_session_cleanly(self):
        s = self.s
        s.gnome.kill_mutter()
        closed = s.frame("wl-2", "desktop.closed")
        self.assertEqual(closed["reason"], "capture_stopped")
        self.assert_final_matches_file(s.frame("wl-2", "desktop.recording", state="final"))
        self.assertIn("mutter left the session bus", s.log_text())
        # The banner's window host went with the compositor (or with the session, whichever
        # the agent saw first); the agent stayed.
        s.wait("the window host gone", lambda: not s.window_hosts())
        self.assertIsNone(s.agent.poll())

        # Without mutter, a new session fails at once and says why.
        s.gateway.send(open_frame("wl-nomutter", **UNATTENDED))
        s.frame("wl-nomutter", "desktop.closed")
        frames = s.gateway.of("wl-nomutter")
        self.assertEqual([f["type"] for f in frames], ["desktop.error", "desktop.closed"])
        self.assertIn("org.gnome.Mutter.RemoteDesktop", frames[0]["message"])
        self.assertEqual(frames[1]["reason"], "capture_failed")
        self.assertEqual(s.stop_agent(), 0, s.log_text()[-3000:])


if __name__ == "__main__":
    AGENT = agent_argument(__doc__)
    SHOTS = sys.argv[1] if len(sys.argv) > 1 else None
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=sys.argv[:1])
