"""A remote-desktop session on GNOME under Wayland, end to end: a private headless GNOME
session with a GTK window on its Wayland display, the real agent (`vela-agent gateway`)
running inside the session's namespaces and enrolled against the test control plane,
and headless Chromium as the operator on the gateway's page. The operator sees the
window's pixels, its click and typed text reach the window, a still screen sends no
video, and mutter going away ends the session cleanly. The consent dialog and the banner
are shown by the agent's window host; the test answers the dialog as the person at the
screen would, with clicks through mutter's remote-desktop API, and reads the screen from
a screen cast of its own. The tests run in name order on one stack.

Usage: wayland_session_e2e.py AGENT_EXE [SCREENSHOT_DIR] (re-runs itself in namespaces of
its own)."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from desktop_stack import Gateway, StackCase, agent_argument, open_frame  # noqa: E402
import browser_driver  # noqa: E402
from browser_driver import fixture  # noqa: E402
from gnome_session import GnomeSession  # noqa: E402
from screen_person import ScreenPerson  # noqa: E402

AGENT = SHOTS = None
WINDOW = os.path.join(HERE, "wayland_test_window.py")
COLOURS = ((0xd0, 0x40, 0x20), (0x20, 0x60, 0xc0))
SIZE = (1280, 720)
UNATTENDED = {"mode": "unattended", "consent": False}

# The colour of the decoded video at fractions (fx, fy) of the picture, read in the page.
PIXEL_AT = """
const video = document.getElementById("screen");
const canvas = document.createElement("canvas");
canvas.width = video.videoWidth; canvas.height = video.videoHeight;
const ctx = canvas.getContext("2d");
ctx.drawImage(video, 0, 0);
return Array.from(ctx.getImageData(Math.floor(arguments[0] * canvas.width),
                                   Math.floor(arguments[1] * canvas.height), 1, 1).data.slice(0, 3));
"""


class WaylandStack:
    def __init__(self, agent_exe):
        self.tmp = tempfile.mkdtemp(prefix="vela-wayland-e2e-")
        self.gnome = GnomeSession(*SIZE)
        self.agent = self.browser = self.server = self.gateway = self.person = None
        try:
            self._start(agent_exe)
        except BaseException:
            self.close()
            raise

    def _start(self, agent_exe):
        self.events = []
        self.window = self.gnome.popen(["/usr/bin/python3", WINDOW], env={"GDK_BACKEND": "wayland"},
                                       stdout=subprocess.PIPE, text=True)
        threading.Thread(target=self._read_window, daemon=True).start()
        self.wait("the test window", lambda: any(e["ev"] == "ready" for e in self.events))
        self.person = ScreenPerson(self.gnome, self.tmp)

        self.server = fixture.Server()
        self.gateway = Gateway(self.server)
        self.recordings = os.path.join(self.tmp, "state", "recordings")
        self.agent_id = self._enrol(agent_exe)
        self.agent_log = os.path.join(self.tmp, "agent.log")
        with open(self.agent_log, "ab") as log:
            self.agent = self.gnome.popen([self.exe, "gateway"], env=self.env, stdout=log, stderr=log)
        self.gateway.follow(self.agent_id)
        self.wait("the agent on the gateway", lambda: self.agent_id in self.gateway.agents())
        self.browser = browser_driver.Browser()
        self.browser.driver.get(f"{self.gateway.operator}/operator/?agent={self.agent_id}")

    def _read_window(self):
        for line in self.window.stdout:
            self.events.append(json.loads(line))

    def _enrol(self, agent_exe):
        bin_dir = os.path.join(self.tmp, "bin")
        os.mkdir(bin_dir)
        self.exe = os.path.join(bin_dir, "vela-agent")
        shutil.copy(agent_exe, self.exe)
        shutil.copy(self.server.file("provisioning.json"), os.path.join(bin_dir, "provisioning.json"))
        tmpdir = self.tmpdir = os.path.join(self.tmp, "tmp")
        os.mkdir(tmpdir)
        supp = os.path.normpath(os.path.join(HERE, "..", "linux", "lsan.supp"))
        self.env = {"VELA_STATE_DIR": os.path.join(self.tmp, "state"), "TMPDIR": tmpdir,
                    "LSAN_OPTIONS": "suppressions=" + supp}
        config = os.path.join(self.env["VELA_STATE_DIR"], "config.json")

        def enrolled():
            try:
                with open(config) as f:
                    return json.load(f).get("agentID")
            except (OSError, ValueError):
                return None
        with open(os.path.join(self.tmp, "enrol.log"), "wb") as log:
            # Enrolment needs no desktop: outside the session, where signals reach it.
            run = subprocess.Popen([self.exe, "run"], env=dict(os.environ, **self.env), stdout=log, stderr=log)
            agent_id = browser_driver.wait_until("enrolment", enrolled, lambda: run.poll() is not None and "`run` exited")
            run.terminate()
            run.wait()
        return agent_id

    def log_text(self):
        with open(self.agent_log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait(self, what, predicate):
        def died():
            agent = getattr(self, "agent", None)
            if self.window.poll() is not None and not self.events:
                return f"the test window exited ({self.window.returncode})"
            return agent is not None and agent.poll() is not None and f"the agent exited ({agent.returncode})"
        return browser_driver.wait_until(what, predicate, died, lambda: (
            self.log_text() if hasattr(self, "agent_log") else "") + f"\nwindow: {self.events[-5:]}")

    def frame(self, session, kind, **match):
        def found():
            for f in self.gateway.of(session, kind):
                if all(f.get(k) == v or f.get("doc", {}).get(k) == v for k, v in match.items()):
                    return f
            return None
        return self.wait(f"{kind} {match or ''} for {session}", found)

    def recordings_of(self, uid=None):
        return self.recordings

    def agent_pid(self):
        """The agent's own process (what `agent` runs through nsenter)."""
        with open(f"/proc/{self.agent.pid}/task/{self.agent.pid}/children") as f:
            return int(f.read().split()[0])

    def window_hosts(self):
        """The agent's window host processes."""
        # A child is listed under the thread that started it.
        tasks = f"/proc/{self.agent_pid()}/task"
        children = []
        for task in os.listdir(tasks):
            try:
                with open(f"{tasks}/{task}/children") as f:
                    children += [int(c) for c in f.read().split()]
            except OSError:
                pass
        hosts = []
        for pid in children:
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if b"--window-host" in f.read().split(b"\0"):
                        hosts.append(pid)
            except OSError:
                pass
        return hosts

    def consent_buttons(self, shot=None):
        """Waits for the consent dialog on the screen; its (Ablehnen, Erlauben) centres."""
        buttons = self.wait("the consent dialog on the screen", lambda: self.person.frame().consent_buttons())
        if shot and SHOTS:
            self.person.shot(os.path.join(SHOTS, shot))
        return buttons

    def banner_on_screen(self, shot=None):
        box = self.wait("the banner on the screen", lambda: self.person.frame().banner())
        if shot and SHOTS:
            self.person.shot(os.path.join(SHOTS, shot))
        return box

    def close(self):
        try:
            if self.browser:
                self.browser.quit()
        finally:
            if self.person:
                self.person.close()
            for proc in (self.agent, self.window):
                if proc and proc.poll() is None:
                    proc.kill()
                    proc.wait()
            self.gnome.close()
            if self.gateway:
                self.gateway.stop()
            if self.server:
                self.server.close()
            if not os.environ.get("VELA_E2E_KEEP"):
                shutil.rmtree(self.tmp, ignore_errors=True)


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
        s.wait("video decoded in the page", lambda: self.stats().get("framesDecoded", 0) > 0)
        js("velaSession.close()")
        self.assert_final_matches_file(s.frame(session, "desktop.recording", state="final"))
        s.wait("the banner gone", lambda: not s.person.frame().banner())

    def test_1_the_operator_sees_the_window_and_drives_it(self):
        from selenium.webdriver.common.action_chains import ActionChains
        s, js, session = self.s, self.js, "wl-1"
        js("velaSession.open(arguments[0], {session: arguments[1], mode: 'unattended', consent: false})",
           s.agent_id, session)
        doc = s.frame(session, "desktop.opened")["doc"]
        self.assertEqual(doc["monitors"], [0])
        # The unattended session's banner too, before the clicks below raise the window
        # over it: on Wayland nothing keeps it above.
        s.banner_on_screen()
        stats = s.wait("video decoded in the page", lambda: (lambda st: st if st.get("framesDecoded", 0) > 0 else None)(
            self.stats()))
        self.assertEqual((stats["frameWidth"], stats["frameHeight"]), SIZE)
        for fx, colour in ((0.25, COLOURS[0]), (0.75, COLOURS[1])):
            seen = s.wait(f"the window's colour at {fx}", lambda: js(PIXEL_AT, fx, 0.4))
            self.assertLessEqual(max(abs(a - b) for a, b in zip(seen, colour)), 12, (fx, seen, colour))

        s.wait("input channel open", lambda: js("return velaOperator.channelOpen('input')"))
        video = s.browser.driver.find_element("id", "screen")
        fx, fy = 0.3, 0.6
        ActionChains(s.browser.driver).move_to_element_with_offset(
            video, int((fx - 0.5) * video.size["width"]), int((fy - 0.5) * video.size["height"])).click().perform()
        click = s.wait("the click on the window", lambda: next((e for e in s.events if e["ev"] == "click"), None))
        self.assertEqual(click["button"], 1)
        self.assertLessEqual(max(abs(click["x"] - fx * SIZE[0]), abs(click["y"] - fy * SIZE[1])), 3, click)

        ActionChains(s.browser.driver).send_keys("Hallo 42").perform()
        s.wait("the typed text in the window", lambda: any(e["ev"] == "text" and e["text"] == "Hallo 42"
                                                          for e in s.events))
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
        # The banner's window host went with the compositor; the agent stayed.
        s.wait("the window host's end seen", lambda: "window host (pid" in s.log_text() and
               "has ended" in s.log_text())
        self.assertEqual(s.window_hosts(), [])
        self.assertIsNone(s.agent.poll())

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
