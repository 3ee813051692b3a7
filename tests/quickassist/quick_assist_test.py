"""Quick assist end to end: `vela-agent quick-assist` under Xvfb against the test control
plane's join, presign, upload and session gateway, with the operator page in headless
Chromium; in a network namespace with only lo.

Usage: quick_assist_test.py VELA_AGENT [SCREENSHOT_DIR]"""

import base64
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "desktop", "linux", "webrtc"))
sys.path.insert(0, os.path.join(HERE, "..", "desktop", "e2e"))
import browser_driver  # noqa: E402
from browser_driver import fixture, wait_until  # noqa: E402
from quick_assist_support import ENDED, LSAN_SUPPRESSIONS, Agent, QuickAssistCase, until_logged  # noqa: E402
from x_display import Screen, Xvfb  # noqa: E402

AGENT = SHOTS = None
CONNECT_PROXY = os.path.join(HERE, "..", "..", "tools", "controlplane", "connect_proxy.py")
RETRY = "Code ungültig oder abgelaufen — bitte erneut versuchen."
LOST = "Verbindung zum Server verloren. Bitte erneut versuchen."
# The log writes a line break inside a message as "\\n".
ENDED_INFO = "Die Fernwartung wurde beendet.\\n\\nSie können dieses Programm jetzt schließen und löschen."
BANNER = "Fernzugriff aktiv · Aufzeichnung läuft"


class QuickAssist(QuickAssistCase, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = fixture.Server()
        cls.xvfb = Xvfb()
        cls.display, cls.screen = cls.xvfb.name, Screen(cls.xvfb.name)
        cls.tmp = tempfile.mkdtemp(prefix="qa-e2e-")
        cls.browser = browser_driver.Browser()

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.screen.close()
        cls.xvfb.kill()
        cls.server.close()

    def env(self, ui=False):
        env = dict(os.environ, SSL_CERT_FILE=self.server.file("ca.pem"), DISPLAY=self.display, VELA_NO_UI="1",
                   VELA_STATE_DIR=tempfile.mkdtemp(dir=self.tmp), TMPDIR=tempfile.mkdtemp(dir=self.tmp),
                   LSAN_OPTIONS="suppressions=" + LSAN_SUPPRESSIONS)
        if ui:
            del env["VELA_NO_UI"]
        return env

    def run_agent(self, *args, ui=False):
        return Agent(AGENT, ["--server", self.server.base, *args], self.env(ui))

    def shot(self, name):
        time.sleep(0.5)  # lets the window finish drawing
        if SHOTS:
            self.screen.screenshot(os.path.join(SHOTS, name))

    def wait_window(self, title):
        wait_until(title, lambda: self.screen.window(title))

    def press(self, agent, title, where, needle):
        """Clicks where(x, y, w, h) in the window `title` until `needle` is in the agent's log."""
        if not until_logged(agent, needle, lambda: self.screen.click(
                *where(*wait_until(title, lambda: self.screen.window(title)))), f"clicking {title!r}"):
            self.shot("press-failed.png")
            raise AssertionError(f"five clicks on {title!r} did not bring {needle!r}:\n{agent.text()[-3000:]}")

    def test_1_command_line_session_through_a_proxy_ended_by_operator(self):
        # The other cases connect directly.
        proxy_log = os.path.join(self.tmp, "proxy.log")
        proxy = subprocess.Popen(["/usr/bin/python3", CONNECT_PROXY, proxy_log], stdout=subprocess.PIPE, text=True)
        for cleanup in (proxy.stdout.close, proxy.wait, proxy.kill):
            self.addCleanup(cleanup)
        port = re.search(r"proxy: ready port=(\d+)", proxy.stdout.readline()).group(1)
        env = self.env()
        for name in ("no_proxy", "NO_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
            env.pop(name, None)
        env["https_proxy"] = "http://127.0.0.1:" + port
        code = self.code()
        agent = Agent(AGENT, ["--server", self.server.base, code], env)
        sid = self.connect(code, agent)
        move = "return velaOperator.send({t:'m', e:'move', x:0.25, y:0.75})"
        wait_until("the pointer moved by the operator", lambda: self.browser.js(move) and self.screen.pointer() == (320, 540))
        # A second operator join gets a fresh offer.
        self.operate(sid)
        agent.wait_for("quick-assist: operator rejoined — renegotiating")
        self.browser.js("velaQuickAssist.end()")
        log = agent.finish()
        self.assertEqual(self.admin("/admin/quick-assist/sessions")[-1]["agent_close_code"], 1001)
        self.assert_in_order(log, "quick-assist: Löse Code ein…", "quick-assist: Verbinde mit Gateway…",
                             "quick-assist: Warte auf Operator…", "quick-assist: Verbunden",
                             "quick-assist session over: ended",
                             "quick-assist: session ended (ended, connected=true)", ENDED_INFO)
        self.assertEqual(log.count("quick-assist session over:"), 1)
        uploaded = re.search(r"quick-assist recording (\S+) \(sha256 ([0-9a-f]{64})\)", log)
        size = re.search(r"quick-assist recording uploaded \((\d+) bytes\)", log)
        self.assertTrue(uploaded and size, log)
        arrived = [u for u in self.admin("/admin/quick-assist/uploads") if u["session_id"] == sid]
        self.assertEqual([(u["sha256"], u["bytes"], u["format"]) for u in arrived],
                         [(uploaded.group(2), int(size.group(1)), "fmp4")])
        self.assertFalse(os.path.exists(uploaded.group(1)))
        hello, *sent = map(json.loads, self.admin("/admin/quick-assist/sessions")[-1]["from_agent"])
        self.assertEqual(set(hello), {"type", "token", "monitor"})
        self.assertTrue(sent and all(m["type"] == "signal" and "Data" in m and "data" not in m for m in sent))
        # The join, the session gateway, the presign and the upload: each its own tunnel.
        with open(proxy_log) as f:
            self.assertEqual(f.read().splitlines(), [f"CONNECT 127.0.0.1:{self.server.port} 200"] * 4, log)

    def test_2_refused_joins_ask_again_and_a_plain_http_gateway_ends_the_session(self):
        # How each join reply is judged (missing members, a gateway URL that is none) is the
        # join parser's unit test, a wrong code test_6's; each refusal here is logged, the code asked again.
        asked_again = (RETRY, "quick-assist: cancelled")
        plain = json.dumps({"session_id": "s", "client_token": "t", "gateway_url": "http://127.0.0.1:9/gw"})
        cases = [  # (arguments, a scripted join reply (status, body), the log lines in order)
            (["123456789"], (200, '{"ok":true}'),
             ("quick-assist: join failed (join HTTP 200: {\"ok\":true})", *asked_again)),
            (["--server", "http://127.0.0.1:9/", "123"], None,
             ("quick-assist: join failed (refusing non-https http://127.0.0.1:9/api/quick-assist/join)", *asked_again)),
            (["123456789"], (201, plain),
             ("quick-assist session over: gateway_closed: refusing non-https http://127.0.0.1:9/gw",
              "quick-assist: session ended (gateway_closed: refusing non-https", LOST)),
        ]
        for args, reply, expected in cases:
            with self.subTest(expected=expected[0][:60]):
                if reply:
                    self.admin("/admin/faults", {"path": "/api/quick-assist/join", "status": reply[0],
                                                 "body": reply[1], "count": 1})
                agent = Agent(AGENT, args, self.env()) if args[0] == "--server" else self.run_agent(*args)
                self.assert_in_order(agent.finish(), *expected)

    def test_4_presign_refused_and_gateway_dropped(self):
        code = self.code(presign_status=403)
        agent = self.run_agent(code)
        sid = self.connect(code, agent)
        self.admin(f"/admin/quick-assist/sessions/{sid}/drop", method="POST")
        log = agent.finish()
        self.assert_in_order(log, "quick-assist session over: gateway_closed: ", "quick-assist presign failed: HTTP 403")
        self.assertIn("quick-assist: session ended (gateway_closed: ", log)
        kept = re.search(r"quick-assist recording (\S+) \(sha256 ([0-9a-f]{64})\)", log).group(1)
        self.assertGreater(os.path.getsize(kept), 512)
        # Kept where recordings survive a reboot, not in the temporary directory.
        self.assertEqual(os.path.dirname(kept), os.path.join(agent.env["VELA_STATE_DIR"], "recordings"))
        self.assertNotIn("recording uploaded", log)
        self.assertIn(f"quick-assist presign failed: HTTP 403; the recording stays at {kept}\n", log)
        self.assertIn(f"quick-assist: Aufzeichnung nicht hochgeladen; sie liegt unter {kept}\n", log)

    def test_5_hostile_gateway(self):
        offer = base64.b64encode(json.dumps({"kind": "offer", "sdp": "v=0"}).encode()).decode()
        script = ['{"type":"bogus"}', "not json", '{"type":"signal","data":"!!!not base64"}',
                  json.dumps({"type": "signal", "data": offer}), '{"Type":"ready","Data":"@@@"}']
        script += ['{"type":"ready"}'] * 10000
        # The end arrives as a binary message, which is read as text all the same.
        script += ["binary:" + json.dumps({"type": "error", "code": "c" * (1 << 20)})]
        code = self.code(script=script, ready=False)
        log = self.run_agent(code).finish()
        self.assertEqual(log.count("quick-assist: Warte auf Operator…"), 1)
        self.assertEqual(log.count("quick-assist session over:"), 1)
        self.assertIn("quick-assist session over: gateway_error: " + "c" * (1 << 20) + "\n", log)
        # The session may have opened before the error arrived; the user is told either way.
        self.assertIn(ENDED_INFO if "connected=true)" in log else LOST, log)

        # An end before the session opened also ends the program, with or without a display
        # (without one the close handshake was once left parked for good).
        for end, display in [('{"type":"ended"}', False), ('{"type":"error","code":"refused"}', True)]:
            env = self.env()
            if not display:
                env.pop("DISPLAY")
            agent = Agent(AGENT, ["--server", self.server.base, self.code(script=[end], ready=False)], env)
            # The close has a 3-second grace; 20 s means the program was stuck.
            self.assertEqual(agent.proc.wait(timeout=20), 0, agent.text())
            self.assertIn("connected=false)", agent.text())

    def test_6_windows_through_xtest_and_the_banner_ends_the_session(self):
        code = self.code()
        agent = self.run_agent(ui=True)
        self.wait_window("Vela Fernwartung")
        self.screen.move(640, 360)
        self.screen.type("111 222-333")
        self.shot("code-window.png")
        self.screen.key("Return")
        self.wait_window("Fernwartung – Verbindung fehlgeschlagen")
        self.shot("error-alert.png")
        self.screen.key("Return")
        self.wait_window("Vela Fernwartung")
        self.screen.move(640, 360)
        self.screen.type(f"{code[:3]} {code[3:6]}-{code[6:]}")
        self.screen.key("Return")

        # On the gateway, no operator yet: the window says so, and no banner claims a session.
        sid = self.session_of(code)
        self.wait_window("Vela Fernwartung")
        self.shot("quick-assist-e2e-waiting.png")
        self.assertIsNone(self.screen.window(BANNER))

        self.operate(sid)
        agent.wait_for("quick-assist: Verbunden")
        wait_until("the banner", lambda: self.screen.window(BANNER))
        self.shot("quick-assist-e2e-running.png")

        # The person ends it with the banner's button: the banner goes before the alert.
        self.press(agent, BANNER, lambda x, y, w, h: (x + w - 7 - 30, y + h // 2), ENDED)
        self.wait_window("Fernwartung beendet")
        self.assertIsNone(self.screen.window(BANNER))
        self.shot("quick-assist-e2e-ended.png")
        self.screen.key("Return")
        log = agent.finish()
        self.assert_in_order(log, "quick-assist: join failed (join HTTP 404: ", "quick-assist: Löse Code ein…",
                             "quick-assist: Verbunden", "quick-assist: the person at the screen ended the session",
                             "quick-assist session over: ended_by_user",
                             "quick-assist: session ended (ended_by_user, connected=true)")
        self.assertIn("quick-assist recording uploaded (", log)
        # The operator's side was told: the agent's "end".
        from_agent = [json.loads(m) for m in self.admin("/admin/quick-assist/sessions")[-1]["from_agent"]]
        self.assertIn({"type": "end"}, from_agent)

    def test_7_cancelled_while_the_support_is_awaited(self):
        code = self.code()
        agent = self.run_agent(code, ui=True)
        sid = self.session_of(code)
        # "Abbrechen" sits in the window's bottom right corner.
        self.press(agent, "Vela Fernwartung", lambda x, y, w, h: (x + w - 20 - 55, y + h - 20 - 16), ENDED)
        log = agent.finish()
        self.assert_in_order(log, "quick-assist: the person at the screen ended the session",
                             "quick-assist session over: ended_by_user",
                             "quick-assist: session ended (ended_by_user, connected=false)")
        self.assertIsNone(self.screen.window("Vela Fernwartung"))
        self.assertIn({"type": "end"}, self.sent_by_agent(sid))


if __name__ == "__main__":
    AGENT = browser_driver.isolated_arguments(__doc__)[0]
    SHOTS = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("VELA_QA_SCREENSHOTS")
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=[sys.argv[0], *os.environ.get("QA_TESTS", "").split()], verbosity=2)
