"""What every quick-assist end-to-end test does the same way, whatever the screen: the
agent's run and its log, the test control plane's admin calls, and the operator page in
headless Chromium. A test case mixes QuickAssistCase in and sets `server` and `browser`."""

import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "desktop", "linux", "webrtc"))
from browser_driver import wait_until  # noqa: E402

LSAN_SUPPRESSIONS = os.path.join(HERE, "..", "desktop", "linux", "lsan.supp")
ENDED = "quick-assist: the person at the screen ended the session"


class Agent:
    """One `vela-agent -v quick-assist ...` run; its log lines are kept in a file. `popen`
    starts it (a session's own, to run it inside that session)."""

    def __init__(self, exe, args, env, popen=subprocess.Popen):
        self.env = env
        self.log = tempfile.NamedTemporaryFile(prefix="qa-agent-", delete=False)
        self.proc = popen([exe, "-v", "quick-assist", *args], env=env, stdout=self.log, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL)

    def text(self):
        with open(self.log.name, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, needle):
        wait_until(repr(needle), lambda: needle in self.text(),
                   lambda: self.proc.poll() is not None and f"the agent exited ({self.proc.returncode})", self.text)

    def finish(self):
        """The log, once the run has ended; any status but 0 fails."""
        try:
            self.proc.wait(timeout=120)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise AssertionError(f"the agent did not end:\n{self.text()[-3000:]}")
        if self.proc.returncode != 0:
            raise AssertionError(f"the agent exited with {self.proc.returncode}:\n{self.text()[-3000:]}")
        return self.text()


def until_logged(agent, needle, act, what, attempts=5):
    """Does act() until `needle` is in the agent's log. A loaded machine may still be
    laying a window out when it first maps, and what lands there is lost, as a person's
    click would be, who then tries again. Returns False when no attempt brought it."""
    for attempt in range(attempts):
        if attempt:
            print(f"attempt {attempt + 1} at {what}", file=sys.stderr)
        act()
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if needle in agent.text():
                return True
            time.sleep(0.1)
    return False


class QuickAssistCase:
    server = browser = None

    def admin(self, path, body=None, method=None):
        status, reply = self.server.admin(path, body, method)
        self.assertLess(status, 300, reply)
        return reply

    def code(self, **options):
        return self.admin("/admin/quick-assist/codes", options)["code"]

    def session_of(self, code):
        """The session of `code` once the agent is on it."""
        return wait_until(f"the agent on the session of {code}", lambda: next(
            (s["session_id"] for s in self.admin("/admin/quick-assist/sessions")
             if s["code"] == code and s["agent_connected"]), None))

    def connect(self, code, agent):
        """The session of `code` once the agent is on it, the page shows its video and the
        agent says it is connected."""
        sid = self.session_of(code)
        self.operate(sid)
        agent.wait_for("quick-assist: Verbunden")
        return sid

    def operate(self, sid):
        """Opens the operator page on the session and waits for decoded video."""
        self.browser.driver.get(self.server.admin_base + "/quick-assist/operator/?qa=" + sid)
        wait_until("video in the page", lambda: self.browser.js("return velaOperator.stats()").get("framesDecoded", 0) > 0)

    def sent_by_agent(self, sid):
        session = next(s for s in self.admin("/admin/quick-assist/sessions") if s["session_id"] == sid)
        return [json.loads(m) for m in session["from_agent"]]

    def assert_in_order(self, text, *needles):
        at = 0
        for needle in needles:
            found = text.find(needle, at)
            self.assertGreaterEqual(found, 0, f"{needle!r} missing (in order) from:\n{text[-3000:]}")
            at = found + len(needle)
