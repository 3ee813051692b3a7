"""Remote desktop through the root daemon on GNOME under Wayland: `vela-agent run` as root
relays the gateway's desktop frames over its socket to `vela-agent desktop-agent`, run as
the user logind names active on seat0, inside that user's own headless GNOME session
(mutter, PipeWire, WirePlumber and the bus all run as them) with its environment. The
person answers the helper's consent dialog with clicks through mutter's remote-desktop
API; the operator in headless Chromium sees the session's window and drives it; the
recording lands in the user's home; the daemon stops and the helper leaves.

Usage: wayland_relay_e2e.py AGENT_EXE [SCREENSHOT_DIR] (as root; re-runs itself in
namespaces of its own)."""

import os
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wayland_stack import WaylandStack, assert_operator_drives_the_window  # noqa: E402
from desktop_stack import SEATS, StackCase, agent_argument, open_frame, video_decoded  # noqa: E402

AGENT = SHOTS = None
USER = 64031  # a throwaway user: the session gets an account of its own, the host none
CLOSED = "desktop helper: daemon IPC closed — killing sessions, exiting for relaunch"


class WaylandRelayStack(WaylandStack):
    """The session is USER's; the agent is the root daemon outside it, the helper (started
    by start_helper) runs in it as USER with the session's environment."""

    def __init__(self, agent_exe, shots):
        self.helper = None
        super().__init__(agent_exe, shots=shots, session_uid=USER)

    def _run_agent(self):
        self.socket = os.path.join(self.tmp, "run", "desktop.sock")
        # The helper's user reaches the executable and the socket, and has a TMPDIR.
        os.chmod(self.tmp, 0o755)
        os.chmod(self.tmpdir, 0o1777)
        os.makedirs(SEATS, exist_ok=True)
        # Mounted in the test's own namespace: it goes with it.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "seats", SEATS], check=True)
        with open(os.path.join(SEATS, "seat0"), "w") as f:
            f.write(f"ACTIVE=c{USER}\nACTIVE_UID={USER}\n")
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "VELA_NO_UI")}
        env.update(self.env, VELA_DESKTOP_SOCKET=self.socket)
        with open(self.agent_log, "ab") as log:
            return subprocess.Popen([self.exe, "run"], env=env, stdout=log, stderr=log)

    def start_helper(self):
        self.helper_log = os.path.join(self.tmp, "helper.log")
        env = {k: self.env[k] for k in ("TMPDIR", "LSAN_OPTIONS")}
        with open(self.helper_log, "ab") as log:
            self.helper = self.gnome.popen([self.exe, "desktop-agent"], env=dict(env, VELA_DESKTOP_SOCKET=self.socket),
                                           stdout=log, stderr=log)
        return self.helper

    def helper_text(self):
        with open(self.helper_log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def agent_pid(self):
        """The helper's own process: its window hosts are what window_hosts() finds."""
        with open(f"/proc/{self.helper.pid}/task/{self.helper.pid}/children") as f:
            return int(f.read().split()[0])

    def stop_agent(self):
        self.agent.terminate()
        return self.agent.wait()

    def recordings_of(self, uid=None):
        return os.path.join(self.gnome.env["XDG_STATE_HOME"], "vela-agent", "recordings")

    def close(self):
        if self.helper and self.helper.poll() is None:
            self.helper.kill()
            self.helper.wait()
        super().close()


class WaylandRelayEndToEnd(StackCase):
    def setUp(self):
        self.s = WaylandRelayStack(AGENT, SHOTS)
        self.addCleanup(self.s.close)

    def allow(self, session):
        """Clicks Erlauben until the session opens: a click on a dialog still being laid
        out under load is lost, as a person's would be, who then clicks again."""
        s = self.s
        for attempt in range(5):
            _, allow = s.consent_buttons(shot=None if attempt else "wayland-relay-consent-dialog.png")
            s.person.click(*allow)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                if s.gateway.of(session, "desktop.opened"):
                    return s.frame(session, "desktop.opened")["doc"]
                time.sleep(0.1)
            print(f"click {attempt + 2} on Erlauben", file=sys.stderr)
        raise AssertionError(f"five clicks on Erlauben did not open {session}:\n{s.helper_text()[-3000:]}")

    def test_the_users_helper_serves_their_wayland_session_and_leaves_with_the_daemon(self):
        s, js, session = self.s, self.s.browser.js, "wl-relay"
        s.wait("the relay socket, the seat user's", lambda: f"desktop IPC listening at {s.socket}" in s.log_text()
               and os.stat(s.socket).st_uid == USER)
        info = os.stat(s.socket)
        self.assertEqual((stat.S_ISSOCK(info.st_mode), info.st_uid, stat.S_IMODE(info.st_mode)), (True, USER, 0o600))
        helper = s.start_helper()
        s.wait("the helper on the relay", lambda: f"desktop IPC: helper connected (uid {USER})" in s.log_text())
        s.wait("the helper ready", lambda: "desktop helper: connected to daemon IPC; awaiting sessions"
               in s.helper_text())

        # The consent dialog is the helper's, shown by its window host on the user's
        # Wayland screen, and answered there.
        opened = time.monotonic()
        js("velaSession.open(arguments[0], {session: arguments[1], operatorName: 'Eva'})", s.agent_id, session)
        s.consent_buttons()
        figures = {"dialog on screen": time.monotonic() - opened}
        doc = self.allow(session)
        allowed = time.monotonic()
        video_decoded(s)
        figures["first picture decoded after the allow"] = time.monotonic() - allowed
        self.assertEqual((doc["consent"], doc["recording_ready"]), ("accepted", True))
        s.banner_on_screen(shot="wayland-relay-banner.png")
        # The helper is the session's: its user, its namespaces. The daemon maps no
        # display, media or GUI library.
        helper_pid = s.agent_pid()
        self.assertEqual(os.stat(f"/proc/{helper_pid}").st_uid, USER)
        for ns in ("pid", "mnt"):
            self.assertEqual(os.readlink(f"/proc/{helper_pid}/ns/{ns}"), os.readlink(f"/proc/{s.gnome.pid}/ns/{ns}"))
        with open(f"/proc/{s.agent.pid}/maps") as f:
            maps = f.read()
        self.assertEqual([lib for lib in ("libgtk", "libgst", "libpipewire", "libwayland") if lib in maps], [])
        hosts = s.window_hosts()
        self.assertTrue(hosts)
        self.assertEqual({os.stat(f"/proc/{pid}").st_uid for pid in hosts}, {USER})
        assert_operator_drives_the_window(self, s, session)
        if SHOTS:
            s.browser.driver.save_screenshot(os.path.join(SHOTS, "wayland-relay-operator-page.png"))
        js("velaSession.close()")
        self.assert_final_matches_file(s.frame(session, "desktop.recording", state="final"), USER)

        # The daemon stops under a session: the helper finishes its recording and leaves.
        before = set(os.listdir(s.recordings_of()))
        s.gateway.send(open_frame("wl-last", mode="unattended", consent=False))
        s.frame("wl-last", "desktop.recording", state="beat")
        stopped = time.monotonic()
        self.assertEqual(s.stop_agent(), 0, s.log_text()[-3000:])
        figures["daemon's stop"] = time.monotonic() - stopped
        self.assertEqual(helper.wait(), 0, s.helper_text()[-3000:])
        figures["daemon's stop to the helper gone"] = time.monotonic() - stopped
        print("; ".join(f"{k}: {v:.2f} s" for k, v in figures.items()), file=sys.stderr)
        self.assertIn(CLOSED, s.helper_text())
        self.assert_one_new_finished_recording(s.recordings_of(), before, USER)
        self.assertFalse(os.path.exists(s.socket))


if __name__ == "__main__":
    if os.geteuid() != 0:
        sys.exit(77)  # the daemon's side of the relay needs real root
    AGENT = agent_argument(__doc__)
    SHOTS = sys.argv[1] if len(sys.argv) > 1 else None
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=sys.argv[:1])
