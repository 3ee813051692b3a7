"""Remote desktop through the root daemon: `vela-agent run` as root relays the gateway's
desktop frames over its socket to `vela-agent desktop-agent`, run as the unprivileged
user logind names as active on seat0, which serves them under Xvfb; headless Chromium
on the operator page watches the video and clicks. Then another user takes the seat,
and the daemon stops under a session.

Usage: desktop_relay_e2e.py AGENT_EXE (as root; re-runs itself in namespaces of its own)."""

import os
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_stack import Stack, StackCase, agent_argument, open_frame  # noqa: E402

AGENT = None
FIRST, SECOND = 64021, 64022  # throwaway users without accounts: the helper needs none
CLOSED = "desktop helper: daemon IPC closed — killing sessions, exiting for relaunch"


class DesktopRelayEndToEnd(StackCase):
    def setUp(self):
        self.s = Stack(AGENT, helper_uid=FIRST)
        self.addCleanup(self.s.close)

    def owner(self):
        try:  # between the old socket's removal and the new one's creation there is none
            return os.stat(self.s.socket).st_uid
        except FileNotFoundError:
            return None

    def connects_as(self, uid):
        """The connect error a process of `uid` meets at the socket, "" when it gets in."""
        probe = ("import socket,sys\ntry: socket.socket(socket.AF_UNIX).connect(sys.argv[1])\n"
                 "except OSError as e: print(e.strerror)")
        return subprocess.run(["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--",
                               sys.executable, "-c", probe, self.s.socket],
                              capture_output=True, text=True, check=True).stdout.strip()

    def test_helper_serves_the_operator_page_follows_the_seat_and_ends_with_the_daemon(self):
        s, js = self.s, self.s.browser.js
        s.wait("the relay socket", lambda: f"desktop IPC listening at {s.socket}" in s.log_text())
        first = s.start_helper(FIRST)
        s.wait("the helper on the relay", lambda: f"desktop IPC: helper connected (uid {FIRST})" in s.log_text())
        self.assertIn("desktop helper: connected to daemon IPC; awaiting sessions", s.log_text(FIRST))

        # The consent dialog is the helper's, on the user's display.
        js("velaSession.open(arguments[0], {session: 'relay', operatorName: 'Eva'})", s.agent_id)
        self.consent_dialog()
        s.screen.key("Return")
        self.assertEqual(s.frame("relay", "desktop.opened")["doc"]["consent"], "accepted")
        # A click on the page reaches the X display through the daemon and the helper.
        self.assert_video_and_click(0.3, 0.6)
        js("velaSession.close()")
        self.assert_final_matches_file(s.frame("relay", "desktop.recording", state="final"), FIRST)

        # Another user takes the seat: the socket is theirs within seconds, the first
        # helper is sent away and its user is kept out; the newcomer's helper gets in.
        switched = time.monotonic()
        s.set_seat(SECOND)
        s.wait("the socket handed over", lambda: self.owner() == SECOND)
        self.assertLess(time.monotonic() - switched, 5)
        info = os.stat(s.socket)
        self.assertEqual((stat.S_ISSOCK(info.st_mode), info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)),
                         (True, SECOND, 0, 0o600))
        self.assertEqual(first.wait(), 0)
        self.assertIn(CLOSED, s.log_text(FIRST))
        self.assertEqual(self.connects_as(FIRST), "Permission denied")
        second = s.start_helper(SECOND)
        s.wait("the newcomer's helper", lambda: f"desktop IPC: helper connected (uid {SECOND})" in s.log_text())

        # The daemon stops under a session: the helper finishes the recording and leaves.
        before = set(s.files(SECOND))
        s.gateway.send(open_frame("last", mode="unattended", consent=False))
        s.frame("last", "desktop.recording", state="beat")
        self.assertEqual(s.stop_agent(), 0, s.log_text()[-3000:])
        self.assertEqual(second.wait(), 0, s.log_text(SECOND)[-3000:])
        self.assertIn(CLOSED, s.log_text(SECOND))
        self.assert_one_new_finished_recording(s.recordings_of(SECOND), before, SECOND)
        self.assertFalse(os.path.exists(s.socket))


if __name__ == "__main__":
    if os.geteuid() != 0:
        sys.exit(77)  # the daemon's side of the relay needs real root
    AGENT = agent_argument(__doc__)
    unittest.main()
