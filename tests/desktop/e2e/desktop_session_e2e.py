"""Remote-desktop sessions end to end: the real agent (`vela-agent gateway`) enrolled
against the test control plane, its gateway relaying to headless Chromium on the
operator page, Xvfb with a window as the screen, the consent dialog answered with XTest
clicks. One stack for the class; the tests run in name order and the last one kills
the X server.

Usage: desktop_session_e2e.py AGENT_EXE [SCREENSHOT_DIR] (re-runs itself in namespaces of
its own)."""

import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_stack import Gateway, Stack, StackCase, agent_argument, finished_mp4, open_frame  # noqa: E402

AGENT = SHOTS = None
BANNER = "Fernzugriff aktiv · Aufzeichnung läuft"
UNATTENDED = {"mode": "unattended", "consent": False}


class DesktopSessionEndToEnd(StackCase):
    @classmethod
    def setUpClass(cls):
        cls.s = Stack(AGENT)
        cls.js = cls.s.browser.js

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def open_unattended(self, *sessions):
        for session in sessions:
            self.s.gateway.send(open_frame(session, **UNATTENDED))
        for session in sessions:
            self.s.frame(session, "desktop.opened")

    def test_1_attended_session_from_the_operator_page(self):
        s, js, session = self.s, self.js, "e2e-attended"
        js("velaSession.open(arguments[0], {session: arguments[1], operatorName: 'Eva'})", s.agent_id, session)
        # Declining, with nothing recorded or offered before the answer, is the session
        # manager's unit test's; the dialog's own buttons are the consent window's test.
        self.consent_dialog()
        s.screen.key("Return")

        doc = s.frame(session, "desktop.opened")["doc"]
        opened_at = time.time()
        self.assertEqual((doc["consent"], doc["recording_ready"], doc["monitors"]), ("accepted", True, [0]))
        # FNV-1a of the default text, "Fernzugriff aktiv · Aufzeichnung läuft".
        self.assertEqual(doc["indicator_ack"]["text_version"], "v1-447ac6c8")
        self.assertLessEqual(abs(doc["indicator_ack"]["shown_at"] - opened_at), 5)

        self.assert_video_and_click(0.25, 0.7)

        s.frame(session, "desktop.recording", seq=3)
        self.assertEqual([f["doc"]["kind"] for f in s.gateway.of(session, "desktop.signal")].count("offer"), 1)
        beats = [(t, f["doc"]["seq"]) for t, f in list(s.gateway.frames)
                 if f.get("session_id") == session and f.get("doc", {}).get("state") == "beat"]
        self.assertEqual([seq for _, seq in beats], [1, 2, 3])
        self.assertAlmostEqual(beats[2][0] - beats[1][0], 5.0, delta=1.0)

        js("velaSession.close()")
        final = self.assert_final_matches_file(s.frame(session, "desktop.recording", state="final"))
        self.assertGreater(final["duration_s"], 8)
        time.sleep(2)
        self.assertEqual(s.gateway.of(session, "desktop.closed"), [])

    def shot(self, name):
        time.sleep(0.5)  # lets the windows finish drawing
        if SHOTS:
            self.s.screen.screenshot(os.path.join(SHOTS, name))

    def test_2_the_person_at_the_screen_ends_the_session_with_the_banner(self):
        s, js, session = self.s, self.js, "e2e-ended-at-screen"
        js("velaSession.open(arguments[0], {session: arguments[1], mode: 'unattended', consent: false})",
           s.agent_id, session)
        s.frame(session, "desktop.opened")
        x, y, w, h = s.wait("the banner", lambda: s.screen.window(BANNER))
        self.assertEqual((x + w // 2, y, w, h), (s.xvfb.size[0] // 2, 6, 460, 40))
        self.shot("session-banner.png")

        # Anywhere but on its button, the banner lets the click through to the window below.
        clicked = len(s.clicks)
        s.screen.click(x + 150, y + 20)
        click = s.wait("the click below the banner", lambda: len(s.clicks) > clicked and s.clicks[-1])
        self.assertEqual((click["x"], click["y"]), (x + 150, y + 20))
        self.assertEqual(s.gateway.of(session, "desktop.closed"), [])

        # "Beenden" sits at the banner's right end.
        clicked = len(s.clicks)
        s.screen.click(x + w - 7 - 30, y + h // 2)
        closed = s.frame(session, "desktop.closed")
        self.assertEqual(closed["reason"], "ended_by_user")
        self.assertEqual(len(s.clicks), clicked)
        kinds = [f["type"] if f["type"] != "desktop.recording" else f["doc"]["state"] for f in s.gateway.of(session)]
        self.assertEqual(kinds[-2:], ["final", "desktop.closed"])
        self.assert_final_matches_file(s.frame(session, "desktop.recording", state="final"))
        # The operator's page read the close and its reason.
        s.wait("the close on the operator page", lambda: any(
            e.get("type") == "desktop.closed" and e.get("reason") == "ended_by_user" for e in js("return velaSession.events()")))
        self.assertRegex(s.log_text(), r"desktop: the person at the screen \((\S+, )?uid \d+\) ended the session")
        self.assertIn(f"desktop: session {session} ended (ended_by_user)", s.log_text())
        s.wait("the banner gone", lambda: not s.screen.window(BANNER))
        self.shot("session-ended-at-screen.png")

    def test_3_dropped_gateway_and_an_unwritable_recording_directory(self):
        s = self.s
        before = set(s.files())
        self.open_unattended("drop-1", "drop-2")
        # The session limit and stray, malformed and repeated frames are the session
        # manager's unit test's (the limit is counted before any media are made).

        # The gateway dropped: both sessions end locally with their recordings finished,
        # and nothing of theirs is sent on the next connection.
        recordings = [os.path.join(s.recordings, name) for name in set(s.files()) - before]
        self.assertEqual(len(recordings), 2)
        s.gateway.stop(signal.SIGKILL)
        s.wait("both recordings finished", lambda: all(finished_mp4(p) for p in recordings))
        s.gateway = Gateway(s.server)
        s.gateway.follow(s.agent_id)
        s.wait("the agent back on the gateway", lambda: s.agent_id in s.gateway.agents())
        time.sleep(2)
        self.assertEqual([f for _, f in s.gateway.frames if f.get("type", "").startswith("desktop.")], [])

        aside = s.recordings + ".aside"
        os.rename(s.recordings, aside)
        open(s.recordings, "w").close()  # a file where the directory was: nothing can be created in it
        try:
            s.gateway.send(open_frame("rec-fail", **UNATTENDED))
            s.frame("rec-fail", "desktop.closed")
        finally:
            os.remove(s.recordings)
            os.rename(aside, s.recordings)
        frames = s.gateway.of("rec-fail")
        self.assertEqual([f["type"] for f in frames], ["desktop.error", "desktop.closed"])
        self.assertTrue(frames[0]["message"].startswith("recording sink failed: "), frames[0]["message"])
        self.assertEqual(frames[1]["reason"], "recording_failed")

    def test_4_x_server_killed_mid_session_then_no_display(self):
        s = self.s
        s.browser.quit()  # its page has nothing left to show
        s.browser = None
        self.open_unattended("xkill")
        s.screen.close()
        s.xvfb.kill()
        self.assertEqual(s.frame("xkill", "desktop.closed")["reason"], "capture_stopped")
        self.assert_final_matches_file(s.frame("xkill", "desktop.recording", state="final"))

        s.wait("the agent still on the gateway", lambda: s.agent_id in s.gateway.agents())
        s.gateway.send(open_frame("nodisplay", **UNATTENDED))
        s.frame("nodisplay", "desktop.closed")
        frames = s.gateway.of("nodisplay")
        self.assertEqual([f["type"] for f in frames], ["desktop.error", "desktop.closed"])
        self.assertTrue(frames[0]["message"].startswith("capture failed: "), frames[0]["message"])
        self.assertEqual(frames[1]["reason"], "capture_failed")
        self.assertEqual(s.stop_agent(), 0, s.log_text()[-3000:])


if __name__ == "__main__":
    AGENT = agent_argument(__doc__)
    SHOTS = sys.argv[1] if len(sys.argv) > 1 else None
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=sys.argv[:1])
