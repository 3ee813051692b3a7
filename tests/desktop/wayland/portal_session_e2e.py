"""Remote-desktop sessions through the desktop portal, end to end, in a private headless
GNOME session with the agent told to use the portal (VELA_DESKTOP_BACKEND=portal): an
unattended session is refused before anything is captured; an attended one shows the
portal's own dialog, which the person at the screen (the test, through a remote-desktop
session of mutter's own) cancels or accepts, and once accepted the operator sees the
test window and drives it; the agent's own consent dialog comes before the portal's; the
portal going away ends the session cleanly; a dialog nobody answers is withdrawn when
its time is up (test_portal_live, run in the session). The agent's own windows (consent dialog,
banner) open on the same Wayland display, from the agent's window host. The tests run in
name order on one stack.

Usage: portal_session_e2e.py AGENT_EXE PORTAL_LIVE_TEST_EXE [SCREENSHOT_DIR] (re-runs itself in namespaces of
its own)."""

import json
import os
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from wayland_stack import COLOURS, WaylandStack, assert_operator_drives_the_window, click_video  # noqa: E402
from desktop_stack import StackCase, open_frame, video_decoded  # noqa: E402
import browser_driver  # noqa: E402

AGENT = LIVE_TEST = SHOTS = None
# The scaled monitor's scale: 1280x720 is laid out as 1024x576.
SCALE = 1.25
# A point of the dialog's body (it is centred), over the test window's left half.
DIALOG_BODY = (600, 480)


class PortalSessionEndToEnd(StackCase):
    @classmethod
    def setUpClass(cls):
        cls.s = WaylandStack(AGENT, agent_env={"VELA_DESKTOP_BACKEND": "portal"}, shots=SHOTS)
        cls.person = cls.s.person

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def dialog_shown(self):
        return all(c > 235 for c in self.person.pixel(*DIALOG_BODY))

    def wait_for_dialog(self, session, shot):
        """The dialog's controls (Frame.portal_dialog) once it is up."""
        def shown():
            ended = self.s.gateway.of(session, "desktop.error")
            if ended:
                raise AssertionError(f"the session ended instead: {ended}")
            return self.dialog_shown()
        self.s.wait("the portal's dialog", shown)
        time.sleep(0.5)  # its entrance animation
        if SHOTS:
            self.person.shot(os.path.join(SHOTS, shot))
        controls = self.person.frame().portal_dialog()
        self.assertIsNotNone(controls, "the dialog's Share button is not where the theme puts it")
        return controls

    def test_0_an_unattended_session_is_refused_before_capture(self):
        s = self.s
        s.gateway.send(open_frame("pt-unattended", mode="unattended", consent=False))
        error = s.frame("pt-unattended", "desktop.error")
        self.assertIn("unattended sessions need GNOME's remote-desktop API; this desktop offers only the portal",
                      error["message"])
        time.sleep(1)
        self.assertEqual([f["type"] for f in s.gateway.of("pt-unattended")], ["desktop.error"])
        self.assertFalse(self.dialog_shown())
        self.assertNotIn("recording monitor", s.log_text())

    def test_1_the_person_cancels_the_portal_dialog(self):
        s = self.s
        s.gateway.send(open_frame("pt-cancel", mode="attended", consent=False))
        controls = self.wait_for_dialog("pt-cancel", "portal-dialog.png")
        self.person.click(*controls["cancel"])
        closed = s.frame("pt-cancel", "desktop.closed")
        self.assertEqual(closed["reason"], "capture_failed")
        frames = s.gateway.of("pt-cancel")
        self.assertEqual([f["type"] for f in frames], ["desktop.error", "desktop.closed"])
        self.assertIn("the person at the screen declined the desktop's sharing dialog", frames[0]["message"])
        s.wait("the dialog gone", lambda: not self.dialog_shown())

    def test_1_b_a_dialog_nobody_answers_is_withdrawn(self):
        # Once when its time is up, once when the capture waiting for it stops.
        for case in ("ADialogNobodyAnswersEndsTheOpenWhenItsTimeIsUp", "ADialogEndsWithTheCaptureThatWaitsForIt"):
            live = self.s.gnome.popen([LIVE_TEST, "--gtest_filter=PortalLiveTest." + case],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            self.s.wait("the portal's dialog", lambda: self.dialog_shown() or live.poll() is not None)
            self.assertIsNone(live.poll(), f"{case} ended before its dialog showed")
            out, _ = live.communicate(timeout=120)
            self.assertEqual(live.returncode, 0, out)
            self.s.wait("the dialog withdrawn", lambda: not self.dialog_shown())

    def test_1_c_shared_without_remote_interaction_the_operator_is_told(self):
        s, session = self.s, "pt-view"
        s.browser.js("velaSession.open(arguments[0], {session: arguments[1], operatorName: 'Eva'})",
                     s.agent_id, session)
        _, allow = s.consent_buttons()
        s.person.click(*allow)
        controls = self.wait_for_dialog(session, "portal-dialog-view-only.png")
        self.person.click(*controls["share"])  # "Allow remote interaction" left off
        self.assertEqual(s.frame(session, "desktop.opened")["doc"]["consent"], "accepted")
        video_decoded(s)
        clicks = sum(e["ev"] == "click" for e in s.events)
        click_video(s, 0.3, 0.6)
        click_video(s, 0.6, 0.6)
        error = s.frame(session, "desktop.error")
        self.assertEqual(error["message"], "operator input is dropped: the person at the screen shared the screen "
                                           "without allowing remote interaction")
        s.browser.js("velaSession.close()")
        self.assert_final_matches_file(s.frame(session, "desktop.recording", state="final"))
        s.wait("the banner gone", lambda: not s.person.frame().banner())
        self.assertEqual([f["type"] for f in s.gateway.of(session)].count("desktop.error"), 1)
        self.assertEqual(sum(e["ev"] == "click" for e in s.events), clicks)

    def test_2_after_both_consents_the_operator_sees_the_window_and_drives_it(self):
        s, session = self.s, "pt-1"
        logged = len(s.log_text())
        s.browser.js("velaSession.open(arguments[0], {session: arguments[1], operatorName: 'Eva'})",
                     s.agent_id, session)
        _, allow = s.consent_buttons(shot="portal-agent-consent.png")
        # Nothing of the desktop's is asked, nor anything captured, before our own consent.
        time.sleep(1)
        self.assertFalse(self.dialog_shown())
        self.assertNotIn("recording monitor", s.log_text()[logged:])
        s.person.click(*allow)
        controls = self.wait_for_dialog(session, "portal-dialog-after-consent.png")
        self.person.click(*controls["allow_input"])
        time.sleep(0.3)
        if SHOTS:
            self.person.shot(os.path.join(SHOTS, "portal-dialog-input-allowed.png"))
        self.person.click(*controls["share"])
        s.wait("the test window again", lambda: max(abs(a - b) for a, b in zip(
            self.person.pixel(*DIALOG_BODY), COLOURS[0])) <= 12)
        self.assertEqual(s.frame(session, "desktop.opened")["doc"]["consent"], "accepted")
        # Before the operator's clicks raise the window over it: on Wayland nothing keeps
        # the banner above.
        s.banner_on_screen(shot="portal-agent-banner.png")
        assert_operator_drives_the_window(self, s, session)
        if SHOTS:
            s.browser.driver.save_screenshot(os.path.join(SHOTS, "portal-operator-page.png"))

    def test_3_a_stalled_portal_then_gone_ends_the_session_cleanly(self):
        s = self.s
        portal = subprocess.run(["pgrep", "-f", "^/usr/libexec/xdg-desktop-portal$", "--ns", str(s.gnome.pid), "--nslist", "pid"],
                                capture_output=True, text=True).stdout.split()
        self.assertEqual(len(portal), 1, portal)
        # A portal that takes no input: the operator's keys pile up behind it, a bounded
        # backlog, and the session's own work (its end below) is not held behind them.
        os.kill(int(portal[0]), signal.SIGSTOP)
        keys = [json.dumps({"t": "k", "code": "KeyA", "e": "down" if i % 2 == 0 else "up"}) for i in range(150)]
        self.assertTrue(s.browser.js("return arguments[0].every(k => velaOperator.sendOn('input', k))", keys))
        s.wait("the backlog dropped", lambda: "the desktop portal is slow to take input" in s.log_text())
        os.kill(int(portal[0]), signal.SIGKILL)
        closed = s.frame("pt-1", "desktop.closed")
        self.assertEqual(closed["reason"], "capture_stopped")
        self.assert_final_matches_file(s.frame("pt-1", "desktop.recording", state="final"))
        self.assertIn("the desktop portal left the session bus", s.log_text())
        self.assertEqual(s.stop_agent(), 0, s.log_text()[-3000:])


class PortalOnAScaledMonitor(StackCase):
    """GNOME with fractional scaling: the portal gives its stream's size in the layout's
    units (1024x576 for 1280x720 at 1.25), the stream itself is in device pixels."""

    @classmethod
    def setUpClass(cls):
        cls.s = WaylandStack(AGENT, agent_env={"VELA_DESKTOP_BACKEND": "portal"}, shots=SHOTS, logical_layout=True,
                             layout=[("Meta-0", 0, 0, SCALE, 0)])

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_the_operator_gets_the_whole_stream_and_clicks_land_where_shown(self):
        s, session = self.s, "pt-scaled"
        s.browser.js("velaSession.open(arguments[0], {session: arguments[1], operatorName: 'Eva'})",
                     s.agent_id, session)
        _, allow = s.consent_buttons(shot="portal-scaled-consent.png")
        s.person.click(*allow)
        s.wait("the portal's dialog", lambda: s.person.frame().portal_dialog(SCALE))
        time.sleep(0.5)  # its entrance animation
        controls = s.person.frame().portal_dialog(SCALE)
        if SHOTS:
            s.person.shot(os.path.join(SHOTS, "portal-scaled-dialog.png"))
        s.person.click(*controls["allow_input"])
        time.sleep(0.3)
        s.person.click(*controls["share"])
        self.assertEqual(s.frame(session, "desktop.opened")["doc"]["video_size"], {"width": 1280, "height": 720})
        self.assertIn("the desktop gave its stream as 1024x576; it streams 1280x720", s.log_text())
        video_decoded(s)
        # The window is laid out in logical pixels: the click lands at the same fraction of them.
        fx, fy = 0.3, 0.6
        click_video(s, fx, fy)
        click = s.wait("the click on the window", lambda: next((e for e in s.events if e["ev"] == "click"), None))
        self.assertLessEqual(max(abs(click["x"] - fx * 1024), abs(click["y"] - fy * 576)), 3, click)
        if SHOTS:
            s.browser.driver.save_screenshot(os.path.join(SHOTS, "portal-scaled-operator-page.png"))
        s.browser.js("velaSession.close()")
        self.assert_final_matches_file(s.frame(session, "desktop.recording", state="final"))


if __name__ == "__main__":
    AGENT, LIVE_TEST = browser_driver.isolated_arguments(__doc__, count=2, private_x11=True)
    SHOTS = sys.argv[1] if len(sys.argv) > 1 else None
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=sys.argv[:1])
