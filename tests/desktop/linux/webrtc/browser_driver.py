"""The pieces a browser test of the WebRTC peer needs: the peer harness (a child
process speaking JSON lines), the test control plane serving the operator page, and
headless Chromium driven by Selenium. Signalling is relayed by the test itself: the
harness's desktop frames go into the page with velaOperator.receive(), the page's
outbox comes back with velaOperator.drain().

Must run in a network namespace with only loopback up (see run_in_namespace)."""

import base64
import json
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools", "controlplane"))

from tests import fixture  # noqa: E402  (the control plane's own test fixture)

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def run_in_namespace(argv, private_x11=False):
    """Re-runs argv in fresh network and mount namespaces with lo up, unless already
    inside; returns that run's status, or None inside. With private_x11 the run gets X
    sockets of its own, so that a display number this test gave up and another test took
    is never reached."""
    if os.environ.get("VELA_ISOLATED"):
        return None
    x11 = "mkdir -p /tmp/.X11-unix && mount -t tmpfs -o mode=1777 x11 /tmp/.X11-unix && " if private_x11 else ""
    script = f"ip link set lo up && {x11}VELA_ISOLATED=1 exec \"$0\" \"$@\""
    # Without root, a user namespace of its own grants the right to raise lo and mount.
    user = [] if os.geteuid() == 0 else ["--map-root-user"]
    return subprocess.call(["unshare", "--net", "--mount", *user, "sh", "-c", script, *argv])


def isolated_arguments(usage, count=1, private_x11=False):
    """A test script's start: its first `count` arguments, taken off sys.argv, once the
    run has moved into namespaces of its own (this process then exits with its status)."""
    if len(sys.argv) <= count:
        sys.exit(usage)
    code = run_in_namespace([sys.executable, os.path.abspath(sys.argv[0]), *sys.argv[1:]], private_x11)
    if code is not None:
        sys.exit(code)
    args = sys.argv[1:1 + count]
    del sys.argv[1:1 + count]
    return args


def wait_until(what, predicate, failure=None, log=lambda: "", pump=None):
    """Until predicate() holds, calling pump() before each look. No deadline: a hang is
    the runner's to report, but what is awaited is said every 15 seconds, and a failure()
    text (a process that died) fails at once."""
    noted = time.monotonic()
    while True:
        if pump:
            pump()
        value = predicate()
        if value:
            return value
        failed = failure and failure()
        if failed:
            raise AssertionError(f"{failed} while waiting for {what}:\n{log()[-3000:]}")
        if time.monotonic() - noted > 15:
            print(f"still waiting for {what}; log so far:\n{log()[-1500:]}", file=sys.stderr)
            noted = time.monotonic()
        time.sleep(0.05)


class Harness:
    def __init__(self, exe, stamps=False):
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([exe] + (["--stamps"] if stamps else []), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.log, text=True, bufsize=1)
        self.events = queue.Queue()
        self.frames = queue.Queue()
        self.controls = []
        self.states = []
        self.offers = 0
        self.pushed = {}
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            event = json.loads(line)
            kind = event["ev"]
            if kind == "frame":
                if '"kind":"offer"' in base64.b64decode(json.loads(event["text"])["data"]).decode():
                    self.offers += 1
                self.frames.put(event["text"])
            elif kind == "control":
                self.controls.append(event["text"])
            elif kind == "state":
                self.states.append(event["state"])
            elif kind == "pushed":
                self.pushed[event["n"]] = event["t"]
            else:
                self.events.put(event)

    def send(self, **command):
        self.proc.stdin.write(json.dumps(command) + "\n")
        self.proc.stdin.flush()

    def ask(self, reply, **command):
        if command:
            self.send(**command)
        while True:
            event = self.events.get()
            if event["ev"] == reply:
                return event

    def alive(self):
        return self.proc.poll() is None

    def stderr(self):
        self.log.seek(0)
        text = self.log.read().decode("utf-8", "replace")
        self.log.seek(0, os.SEEK_END)
        return text

    def quit(self):
        """Ends the harness; a failing exit (a sanitizer report among them) is an error."""
        if self.alive():
            self.send(cmd="quit")
        if self.proc.wait() != 0:
            raise AssertionError(f"harness exited with {self.proc.returncode}:\n{self.stderr()[-4000:]}")


class Browser:
    def __init__(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        self.profile = tempfile.mkdtemp(prefix="vela-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + self.profile,
                     "--autoplay-policy=no-user-gesture-required", "--allow-loopback-in-peer-connection",
                     "--disable-features=WebRtcHideLocalIpsWithMdns", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--no-first-run",
                     "--window-size=1400,1000"):
            options.add_argument(flag)
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def quit(self):
        self.driver.quit()


class Session:
    """A control plane, a browser on its operator page and a harness, relayed."""

    def __init__(self, harness_exe, stamps=False):
        self.server = fixture.Server()
        self.browser = Browser()
        self.browser.driver.get(self.server.admin_base + "/operator/?session=test")
        self.harness = Harness(harness_exe, stamps=stamps)

    def pump(self):
        while not self.harness.frames.empty():
            self.browser.js("velaOperator.receive(arguments[0])", self.harness.frames.get())
        for frame in self.browser.js("return velaOperator.drain()"):
            self.harness.send(cmd="frame", text=frame)

    def wait(self, what, predicate):
        """Relays until predicate() holds."""
        return wait_until(what, predicate, lambda: not self.harness.alive() and "the harness exited",
                          self.harness.stderr, self.pump)

    def settle(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.pump()
            time.sleep(0.05)

    def stats(self):
        return self.browser.js("return velaOperator.stats()")

    def close(self):
        try:
            self.harness.quit()
        finally:
            self.browser.quit()
            self.server.close()
