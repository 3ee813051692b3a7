"""What the Wayland end-to-end tests share: a private headless GNOME session with a GTK
test window on its Wayland display, the real agent (`vela-agent gateway`) inside the
session's namespaces enrolled against the test control plane, and headless Chromium as
the operator on the gateway's page; and the check that the operator sees that window
and drives it."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from desktop_stack import LSAN_SUPPRESSIONS, Gateway, install_and_enrol, video_decoded  # noqa: E402
import browser_driver  # noqa: E402
from browser_driver import fixture  # noqa: E402
from gnome_session import GnomeSession  # noqa: E402
from screen_person import ScreenPerson  # noqa: E402

WINDOW = os.path.join(HERE, "wayland_test_window.py")
COLOURS = ((0xd0, 0x40, 0x20), (0x20, 0x60, 0xc0))
SIZE = (1280, 720)

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
    """`agent_env` adds to the agent's environment (a backend chosen for it); screenshots
    asked for go to `shots` when given. With `session_uid` the session is that user's;
    `more_monitors` are sizes of further monitors right of the main one, where the window is;
    `logical_layout` is GnomeSession's, and `layout` one for apply_monitors before anything
    starts in the session."""

    def __init__(self, agent_exe, agent_env=None, shots=None, session_uid=None, more_monitors=(),
                 logical_layout=False, layout=None):
        self.tmp = tempfile.mkdtemp(prefix="vela-wayland-e2e-")
        self.agent_env = agent_env or {}
        self.shots = shots
        self.gnome = GnomeSession(*SIZE, uid=session_uid, more_monitors=more_monitors,
                                  logical_layout=logical_layout)
        self.agent = self.browser = self.server = self.gateway = self.person = None
        try:
            if layout:
                self.gnome.apply_monitors(layout)
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
        self.agent = self._run_agent()
        self.gateway.follow(self.agent_id)
        self.wait("the agent on the gateway", lambda: self.agent_id in self.gateway.agents())
        self.browser = browser_driver.Browser()
        self.browser.driver.get(f"{self.gateway.operator}/operator/?agent={self.agent_id}")

    def _run_agent(self):
        with open(self.agent_log, "ab") as log:
            return self.gnome.popen([self.exe, "gateway"], env=self.env, stdout=log, stderr=log)

    def _read_window(self):
        for line in self.window.stdout:
            self.events.append(json.loads(line))

    def _enrol(self, agent_exe):
        tmpdir = self.tmpdir = os.path.join(self.tmp, "tmp")
        os.mkdir(tmpdir)
        self.env = {"VELA_STATE_DIR": os.path.join(self.tmp, "state"), "TMPDIR": tmpdir,
                    "LSAN_OPTIONS": "suppressions=" + LSAN_SUPPRESSIONS, **self.agent_env}
        # Enrolment needs no desktop: outside the session, where signals reach it.
        self.exe, agent_id = install_and_enrol(self.tmp, agent_exe, self.server, dict(os.environ, **self.env))
        return agent_id

    def stop_agent(self):
        """SIGTERM to the agent in the session; the agent must end cleanly."""
        self.gnome.signal(self.agent, signal.SIGTERM)
        return self.agent.wait()

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
        if shot and self.shots:
            self.person.shot(os.path.join(self.shots, shot))
        return buttons

    def banner_on_screen(self, shot=None):
        box = self.wait("the banner on the screen", lambda: self.person.frame().banner())
        if shot and self.shots:
            self.person.shot(os.path.join(self.shots, shot))
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


def click_video(s, fx, fy):
    """The operator clicks the page's video at the fraction (fx, fy) of its size."""
    from selenium.webdriver.common.action_chains import ActionChains
    s.wait("input channel open", lambda: s.browser.js("return velaOperator.channelOpen('input')"))
    video = s.browser.driver.find_element("id", "screen")
    ActionChains(s.browser.driver).move_to_element_with_offset(
        video, int((fx - 0.5) * video.size["width"]), int((fy - 0.5) * video.size["height"])).click().perform()


def assert_operator_drives_the_window(case, s, session):
    """The opened `session` shows the test window in the page, and the operator's click
    and typing reach it. `case` is the running TestCase."""
    from selenium.webdriver.common.action_chains import ActionChains
    js = s.browser.js
    doc = s.frame(session, "desktop.opened")["doc"]
    case.assertEqual(doc["monitors"], [0])
    decoding = video_decoded(s)
    case.assertEqual((decoding["frameWidth"], decoding["frameHeight"]), SIZE)
    for fx, colour in ((0.25, COLOURS[0]), (0.75, COLOURS[1])):
        seen = s.wait(f"the window's colour at {fx}", lambda: js(PIXEL_AT, fx, 0.4))
        case.assertLessEqual(max(abs(a - b) for a, b in zip(seen, colour)), 12, (fx, seen, colour))

    fx, fy = 0.3, 0.6
    click_video(s, fx, fy)
    click = s.wait("the click on the window", lambda: next((e for e in s.events if e["ev"] == "click"), None))
    case.assertEqual(click["button"], 1)
    case.assertLessEqual(max(abs(click["x"] - fx * SIZE[0]), abs(click["y"] - fy * SIZE[1])), 3, click)

    ActionChains(s.browser.driver).send_keys("Hallo 42").perform()
    s.wait("the typed text in the window", lambda: any(e["ev"] == "text" and e["text"] == "Hallo 42"
                                                      for e in s.events))
