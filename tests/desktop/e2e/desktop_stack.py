"""Everything a desktop session meets, for real: Xvfb with a window on it, the test
control plane and its gateway on the fixed port 8443, vela-agent enrolled against them
and serving desktop sessions (`vela-agent gateway`), and headless Chromium on the
gateway's operator page. Runs isolated (agent_argument): a network namespace with only lo
up, where port 8443 is private, and X sockets of its own, so that a display number this
test gave up and another test took is never reached.

Frames the agent sent are read from the gateway's own record of them
(/agents/{id}/frames), each stamped with the moment the test saw it."""

import base64
import hashlib
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
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "desktop", "linux", "webrtc"))
import browser_driver  # noqa: E402
from browser_driver import fixture  # noqa: E402
from x_display import Screen, Xvfb  # noqa: E402

DEMO_WINDOW = os.path.join(SOURCE, "tools", "demo_window.py")
SEATS = "/run/systemd/seats"


# A sanitizer build's agent: GTK's and fontconfig's caches are not ours to free.
LSAN_SUPPRESSIONS = os.path.normpath(os.path.join(HERE, "..", "linux", "lsan.supp"))


def agent_argument(usage):
    """The agent executable from the command line, the run in namespaces of its own."""
    return browser_driver.isolated_arguments(usage, private_x11=True)[0]


def decoded(frame):
    """A frame with its Base64 `data` document decoded into `doc`."""
    if isinstance(frame.get("data"), str):
        try:
            frame = dict(frame, doc=json.loads(base64.b64decode(frame["data"])))
        except ValueError:
            pass
    return frame


def open_frame(session, **doc):
    return {"type": "desktop.open", "session_id": session,
            "data": base64.b64encode(json.dumps(doc).encode()).decode()}


def install_and_enrol(tmp, agent_exe, server, env):
    """Installs the agent in `tmp`/bin with its provisioning document beside it and lets
    `run` (with `env`) enrol it, as an installer would; the state stays in env's
    VELA_STATE_DIR for the commands a test runs next. Returns (executable, agent id)."""
    bin_dir = os.path.join(tmp, "bin")
    os.mkdir(bin_dir)
    exe = os.path.join(bin_dir, "vela-agent")
    shutil.copy(agent_exe, exe)
    shutil.copy(server.file("provisioning.json"), os.path.join(bin_dir, "provisioning.json"))
    config = os.path.join(env["VELA_STATE_DIR"], "config.json")

    def enrolled():
        try:
            with open(config) as f:
                return json.load(f).get("agentID")
        except (OSError, ValueError):
            return None
    with open(os.path.join(tmp, "enrol.log"), "wb") as log:
        run = subprocess.Popen([exe, "run"], env=env, stdout=log, stderr=log)
        agent_id = browser_driver.wait_until("enrolment", enrolled, lambda: run.poll() is not None and "`run` exited")
        run.terminate()
        run.wait()
    return exe, agent_id


class Gateway(fixture.Gateway):
    """gateway.py on port 8443 with a thread that collects every frame the agent sends."""

    def __init__(self, server):
        super().__init__(server, port=8443)
        self.frames = []          # (monotonic time seen, decoded frame)
        self.agent = None
        self.stopping = False

    def follow(self, agent):
        self.agent = agent
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        since = 0
        while not self.stopping:
            try:
                with urllib.request.urlopen(f"{self.operator}/agents/{self.agent}/frames?since={since}&wait=2") as r:
                    reply = json.load(r)
            except OSError:
                time.sleep(0.1)
                continue
            now = time.monotonic()
            self.frames.extend((now, decoded(json.loads(text))) for text in reply["frames"])
            since = reply["next"]

    def agents(self):
        try:
            with urllib.request.urlopen(self.operator + "/agents") as r:
                return [a["agent"] for a in json.load(r)]
        except OSError:
            return []

    def send(self, frame):
        request = urllib.request.Request(f"{self.operator}/agents/{self.agent}/send",
                                         data=json.dumps(frame).encode(), method="POST")
        with urllib.request.urlopen(request) as r:
            r.read()

    def of(self, session, kind=None):
        return [f for _, f in list(self.frames)
                if f.get("session_id") == session and (kind is None or f.get("type") == kind)]

    def stop(self, sig=signal.SIGTERM):
        self.stopping = True
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        self.proc.wait()
        self.log.close()


class Stack:
    """With `helper_uid` the agent is the root daemon (`run`), which hands desktop sessions
    to the per-user helper (`desktop-agent`, started by start_helper) over its relay socket;
    logind's record of the active seat0 user is a file of the test's own (set_seat)."""

    def __init__(self, agent_exe, helper_uid=None):
        self.tmp = tempfile.mkdtemp(prefix="vela-desktop-e2e-")
        self.relay = helper_uid is not None
        self.socket = os.path.join(self.tmp, "run", "desktop.sock")
        self.helpers = []
        if self.relay:
            # The helper's user reaches the executable and the socket.
            os.chmod(self.tmp, 0o755)
            os.makedirs(SEATS, exist_ok=True)
            # Mounted in the test's own namespace: it goes with it.
            subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "seats", SEATS], check=True)
            self.set_seat(helper_uid)
        self.xvfb = Xvfb()
        self.screen = Screen(self.xvfb.name)
        self.clicks = []
        self.window = subprocess.Popen([sys.executable, DEMO_WINDOW], stdout=subprocess.PIPE, text=True,
                                       env=dict(os.environ, DISPLAY=self.xvfb.name))
        if json.loads(self.window.stdout.readline() or "{}").get("ev") != "ready":
            raise AssertionError("the demo window did not start")
        threading.Thread(target=self._read_clicks, daemon=True).start()

        self.server = fixture.Server()
        self.gateway = Gateway(self.server)
        # The agent's own recordings directory, in its state directory; each seat user's
        # helper has one in that user's home (recordings_of).
        self.recordings = os.path.join(self.tmp, "state", "recordings")
        # Recordings must not land in the temporary directory any more.
        self.tmpdir = os.path.join(self.tmp, "tmp")
        os.mkdir(self.tmpdir)
        os.chmod(self.tmpdir, 0o1777)
        self.agent_id = self._enrol(agent_exe)
        self.agent_log = os.path.join(self.tmp, "agent.log")
        with open(self.agent_log, "ab") as log:
            self.agent = subprocess.Popen([self.exe, "run" if self.relay else "gateway"], env=self.env, stdout=log,
                                          stderr=log)
        self.gateway.follow(self.agent_id)
        self.wait("the agent on the gateway", lambda: self.agent_id in self.gateway.agents())
        self.browser = browser_driver.Browser()
        self.browser.driver.get(f"{self.gateway.operator}/operator/?agent={self.agent_id}")

    def _read_clicks(self):
        for line in self.window.stdout:
            self.clicks.append(json.loads(line))

    def _enrol(self, agent_exe):
        self.env = dict(os.environ, VELA_STATE_DIR=os.path.join(self.tmp, "state"), TMPDIR=self.tmpdir,
                        DISPLAY=self.xvfb.name, LSAN_OPTIONS="suppressions=" + LSAN_SUPPRESSIONS,
                        VELA_DESKTOP_SOCKET=self.socket)
        self.env.pop("VELA_NO_UI", None)
        self.exe, agent_id = install_and_enrol(self.tmp, agent_exe, self.server, self.env)
        return agent_id

    def set_seat(self, uid):
        """What logind would write when `uid` becomes the active user of seat0."""
        path = os.path.join(SEATS, "seat0")
        with open(path + ".tmp", "w") as f:
            f.write(f"ACTIVE=c{uid}\nACTIVE_UID={uid}\n")
        os.rename(path + ".tmp", path)

    def start_helper(self, uid):
        """`desktop-agent` as `uid` on the display; its output goes to helper_log(uid)."""
        home = os.path.join(self.tmp, f"home-{uid}")
        os.makedirs(home, exist_ok=True)
        os.chown(home, uid, uid)
        env = dict({k: v for k, v in self.env.items() if k != "VELA_STATE_DIR"}, HOME=home)
        with open(self.helper_log(uid), "ab") as log:
            helper = subprocess.Popen(["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--",
                                       self.exe, "desktop-agent"], env=env, stdout=log, stderr=log)
        self.helpers.append(helper)
        return helper

    def helper_log(self, uid):
        return os.path.join(self.tmp, f"helper-{uid}.log")

    def log_text(self, uid=None):
        """The agent's log, or with `uid` that user's helper's."""
        with open(self.agent_log if uid is None else self.helper_log(uid), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait(self, what, predicate):
        """Until predicate() holds; an agent that died fails at once."""
        def died():
            return self.agent is not None and self.agent.poll() is not None and \
                f"the agent exited ({self.agent.returncode})"
        return browser_driver.wait_until(what, predicate, died, self.log_text)

    def frame(self, session, kind, **match):
        """Waits for the agent's first `kind` frame of `session` whose members match."""
        def found():
            for f in self.gateway.of(session, kind):
                if all(f.get(k) == v or f.get("doc", {}).get(k) == v for k, v in match.items()):
                    return f
            return None
        return self.wait(f"{kind} {match or ''} for {session}", found)

    def recordings_of(self, uid=None):
        """Where the agent (or, with `uid`, that user's helper) records."""
        if uid is None:
            return self.recordings
        return os.path.join(self.tmp, f"home-{uid}", ".local", "state", "vela-agent", "recordings")

    def files(self, uid=None):
        folder = self.recordings_of(uid)
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def process_figures(self):
        """(descriptors, threads, resident kB) of the serving agent."""
        pid = self.agent.pid
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        threads = len(os.listdir(f"/proc/{pid}/task"))
        with open(f"/proc/{pid}/status") as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        return fds, threads, rss

    def stop_agent(self):
        """SIGTERM; the agent must end cleanly."""
        if self.agent.poll() is None:
            self.agent.terminate()
        return self.agent.wait()

    def close(self):
        try:
            if self.browser:
                self.browser.quit()
        finally:
            for proc in [self.agent, self.window] + self.helpers:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            self.window.stdout.close()
            self.screen.close()
            self.xvfb.kill()
            self.gateway.stop()
            self.server.close()
            if not os.environ.get("VELA_E2E_KEEP"):
                shutil.rmtree(self.tmp, ignore_errors=True)


def video_decoded(s):
    """Waits until the operator page of stack `s` decodes the session's video, and
    returns the page's video figures then."""
    def decoding():
        stats = s.browser.js("return velaOperator.stats()")
        return stats if stats.get("framesDecoded", 0) > 0 else None
    return s.wait("video decoded in the page", decoding)


def finished_mp4(path):
    """Whether a fragmented MP4 recording was finished: it ends in an mfra box, whose last
    four bytes (in its mfro) give the box's size."""
    with open(path, "rb") as f:
        end = f.seek(0, os.SEEK_END)
        f.seek(max(end - 4, 0))
        size = int.from_bytes(f.read(4), "big")
        if not 16 <= size <= end:
            return False
        f.seek(end - size)
        head = f.read(8)
    return int.from_bytes(head[:4], "big") == size and head[4:] == b"mfra"


def decodes(path):
    """Whether the whole recording decodes as H.264 video to its end without an error."""
    return subprocess.run(["gst-launch-1.0", "-q", "filesrc", f"location={path}", "!", "qtdemux", "!", "h264parse",
                           "!", "avdec_h264", "!", "fakesink"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


class StackCase(unittest.TestCase):
    """What both desktop end-to-end tests check the same way on their stack `self.s`."""

    def consent_dialog(self):
        """Waits for the dialog and puts the pointer on it, so that the key of the answer
        (XTest) reaches it: Return takes Erlauben, which has the focus."""
        x, y, w, h = self.s.wait("the consent dialog", lambda: self.s.screen.window("Fernzugriff-Anfrage"))
        self.s.screen.move(x + w // 2, y + h // 2)

    def assert_video_and_click(self, fx, fy):
        """The page decodes the whole screen, and a click on it at (fx, fy) of the video
        lands there on the agent's screen."""
        from selenium.webdriver.common.action_chains import ActionChains
        s, js = self.s, self.s.browser.js
        # A still screen sends a picture only when it changes or the decoder asks for one.
        stats = video_decoded(s)
        self.assertEqual((stats["frameWidth"], stats["frameHeight"]), s.xvfb.size)
        s.wait("input channel open", lambda: js("return velaOperator.channelOpen('input')"))
        video = s.browser.driver.find_element("id", "screen")
        ActionChains(s.browser.driver).move_to_element_with_offset(
            video, int((fx - 0.5) * video.size["width"]), int((fy - 0.5) * video.size["height"])).click().perform()
        click = s.wait("the click on the window", lambda: s.clicks and s.clicks[-1])
        expected = (fx * s.xvfb.size[0], fy * s.xvfb.size[1])
        self.assertEqual(click["button"], 1)
        self.assertLessEqual(max(abs(click["x"] - expected[0]), abs(click["y"] - expected[1])), 3)
        self.assertLessEqual(max(abs(a - b) for a, b in zip(s.screen.pointer(), expected)), 3)

    def assert_one_new_finished_recording(self, folder, before, uid):
        """The one recording in `folder` that is not in `before` is a finished MP4 of `uid`'s."""
        [name] = set(os.listdir(folder)) - set(before)
        path = os.path.join(folder, name)
        self.assertEqual((os.stat(path).st_uid, finished_mp4(path)), (uid, True))

    def assert_final_matches_file(self, final, uid=None):
        """The finished recording a `final` frame names: whole, in the recordings
        directory (with `uid`, that user's helper's), owner-only, and decodable."""
        doc = final["doc"]
        path = doc["storage"][len("file://"):]
        self.assertTrue(doc["storage"].startswith("file://" + self.s.recordings_of(uid) + "/"), doc["storage"])
        with open(path, "rb") as f:
            self.assertEqual(doc["sha256"], hashlib.sha256(f.read()).hexdigest())
        self.assertEqual(doc["bytes"], os.path.getsize(path))
        self.assertEqual((doc["state"], doc["format"]), ("final", "fmp4"))
        self.assertTrue(finished_mp4(path))
        self.assertTrue(decodes(path), path)
        self.assertEqual(oct(os.stat(os.path.dirname(path)).st_mode & 0o777), "0o700")
        if uid is not None:
            self.assertEqual(os.stat(path).st_uid, uid)
        self.assertEqual([n for n in os.listdir(self.s.tmpdir) if n.startswith("vela-desktop-")], [])
        return doc
