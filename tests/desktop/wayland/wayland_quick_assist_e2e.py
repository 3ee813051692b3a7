"""Quick assist on GNOME under Wayland, end to end: `vela-agent quick-assist` inside a
private headless GNOME session with a GTK window on its Wayland display, against the test
control plane's join, presign, upload and session gateway, with the operator page in
headless Chromium. The person enters the support code and ends the session with the
banner's button through mutter's remote-desktop API; the operator sees the window's
pixels and drives it.

Usage: wayland_quick_assist_e2e.py AGENT_EXE [SCREENSHOT_DIR] (re-runs itself in
namespaces of its own)."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "quickassist"))
from wayland_stack import COLOURS, PIXEL_AT, SIZE, WINDOW  # noqa: E402
import browser_driver  # noqa: E402
from browser_driver import fixture, wait_until  # noqa: E402
from gnome_session import GnomeSession  # noqa: E402
from quick_assist_support import ENDED, LSAN_SUPPRESSIONS, Agent, QuickAssistCase, until_logged  # noqa: E402
from screen_person import ScreenPerson  # noqa: E402

AGENT = SHOTS = None
RETURN, BACKSPACE = 0xff0d, 0xff08
# Light pixels: the windows' backgrounds on the test window's colours. Above the bottom
# rows, where the pointer parks while the screen is read.
LIGHT = dict(matches=lambda r, g, b: min(r, g, b) > 225, bottom=SIZE[1] - 40)


class WaylandQuickAssist(QuickAssistCase, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vela-wayland-qa-")
        cls.server = fixture.Server()
        cls.gnome = GnomeSession(*SIZE)
        cls.events = []
        cls.window = cls.gnome.popen(["/usr/bin/python3", WINDOW], env={"GDK_BACKEND": "wayland"},
                                     stdout=subprocess.PIPE, text=True)
        threading.Thread(target=lambda: cls.events.extend(json.loads(line) for line in cls.window.stdout),
                         daemon=True).start()
        wait_until("the test window", lambda: any(e["ev"] == "ready" for e in cls.events))
        cls.person = ScreenPerson(cls.gnome, cls.tmp)
        cls.browser = browser_driver.Browser()
        # Away from the build tree, so no installer's provisioning lies beside it.
        cls.exe = os.path.join(cls.tmp, "vela-agent")
        shutil.copy(AGENT, cls.exe)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.person.close()
        if cls.window.poll() is None:
            cls.window.kill()
            cls.window.wait()
        cls.gnome.close()
        cls.server.close()
        if not os.environ.get("VELA_E2E_KEEP"):
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_agent(self):
        state = tempfile.mkdtemp(dir=self.tmp)
        env = {"SSL_CERT_FILE": self.server.file("ca.pem"), "VELA_STATE_DIR": state, "TMPDIR": state,
               "LSAN_OPTIONS": "suppressions=" + LSAN_SUPPRESSIONS}
        agent = Agent(self.exe, ["--server", self.server.base], env, popen=self.gnome.popen)
        self.addCleanup(lambda: agent.proc.poll() is None and (self.gnome.signal(agent.proc, signal.SIGKILL),
                                                               agent.proc.wait()))
        return agent

    def shot(self, name):
        if SHOTS:
            self.person.shot(os.path.join(SHOTS, name))

    def on_screen(self, what, find, agent):
        return wait_until(what, lambda: find(self.person.frame()),
                          lambda: agent.proc.poll() is not None and f"the agent exited ({agent.proc.returncode})",
                          agent.text)

    def type(self, text):
        for ch in text:
            self.person.key(ord(ch))

    def test_the_person_gets_help_and_ends_it_with_the_banner(self):
        code = self.code()
        agent = self.run_agent()
        # The code window, with its entry in the middle.
        box = self.on_screen("the code window", lambda f: f.box(**LIGHT), agent)
        self.shot("wayland-quick-assist-code-window.png")

        def enter():
            self.person.click((box[0] + box[2]) // 2, (box[1] + box[3]) // 2)
            # The virtual keyboard's first key can be lost; these clear what got through.
            for _ in range(12):
                self.person.key(BACKSPACE)
            self.type(code)
            self.shot("wayland-quick-assist-code-typed.png")
            self.person.key(RETURN)
        self.assertTrue(until_logged(agent, "quick-assist: Löse Code ein…", enter, "entering the code"),
                        agent.text()[-3000:])
        wait_until("the code redeemed", lambda: "quick-assist: Verbinde mit Gateway…" in agent.text(),
                   lambda: "quick-assist: join failed" in agent.text() and "the code typed was refused", agent.text)
        # On the gateway, no operator yet: no banner claims a session.
        sid = self.session_of(code)
        self.shot("wayland-quick-assist-waiting.png")
        self.assertIsNone(self.person.frame().banner_button())

        self.operate(sid)
        agent.wait_for("quick-assist: Verbunden")
        stats = self.browser.js("return velaOperator.stats()")
        self.assertEqual((stats["frameWidth"], stats["frameHeight"]), SIZE)
        self.on_screen("the banner", lambda f: f.banner_button(), agent)
        self.shot("wayland-quick-assist-banner.png")
        for fx, colour in ((0.1, COLOURS[0]), (0.9, COLOURS[1])):
            seen = wait_until(f"the window's colour at {fx}", lambda: self.browser.js(PIXEL_AT, fx, 0.8))
            self.assertLessEqual(max(abs(a - b) for a, b in zip(seen, colour)), 12, (fx, seen, colour))

        # The operator drives the window; the click raises it over the banner.
        from selenium.webdriver.common.action_chains import ActionChains
        wait_until("input channel open", lambda: self.browser.js("return velaOperator.channelOpen('input')"))
        video = self.browser.driver.find_element("id", "screen")
        fx, fy = 0.1, 0.85
        ActionChains(self.browser.driver).move_to_element_with_offset(
            video, int((fx - 0.5) * video.size["width"]), int((fy - 0.5) * video.size["height"])).click().perform()
        click = wait_until("the click on the window", lambda: next((e for e in self.events if e["ev"] == "click"), None))
        self.assertLessEqual(max(abs(click["x"] - fx * SIZE[0]), abs(click["y"] - fy * SIZE[1])), 3, click)
        ActionChains(self.browser.driver).send_keys("Hallo 42").perform()
        wait_until("the typed text in the window", lambda: any(e["ev"] == "text" and e["text"] == "Hallo 42"
                                                              for e in self.events))

        # The person closes the window and ends the session with the banner's "Beenden".
        self.gnome.signal(self.window, signal.SIGTERM)
        # The session window takes the focus and may cover the banner in part: the person
        # clicks what shows of its button.
        beenden = self.on_screen("the banner uncovered", lambda f: f.banner_button(), agent)
        if not until_logged(agent, ENDED, lambda: self.person.click(*beenden), "clicking Beenden"):
            self.shot("wayland-quick-assist-press-failed.png")
            self.fail(agent.text()[-3000:])
        self.on_screen("the ended alert", lambda f: not f.banner_button() and f.box(**LIGHT),
                       agent)
        self.shot("wayland-quick-assist-ended.png")
        for _ in range(5):  # Return takes the alert's button, once it has the focus
            self.person.key(RETURN)
            try:
                agent.proc.wait(timeout=5)
                break
            except subprocess.TimeoutExpired:
                print("the alert is still open", file=sys.stderr)
        log = agent.finish()
        self.assert_in_order(log, "quick-assist: Löse Code ein…", "quick-assist: Verbunden", ENDED,
                             "quick-assist session over: ended_by_user",
                             "quick-assist: session ended (ended_by_user, connected=true)")
        self.assertIn("quick-assist recording uploaded (", log)
        # The banner was the window host's: this process serves the session's media.
        self.assertIn("desktop: window host started (pid", log)
        self.assertIn({"type": "end"}, self.sent_by_agent(sid))


if __name__ == "__main__":
    AGENT = browser_driver.isolated_arguments(__doc__)[0]
    SHOTS = sys.argv[1] if len(sys.argv) > 1 else None
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=sys.argv[:1])
