"""The operator page opens a desktop session on an enrolled agent through the gateway,
shows the session's events and closes it, driven in headless Chromium against a stand-in
agent on the gateway's agent socket."""

import asyncio
import base64
import json
import os
import queue
import shutil
import ssl
import tempfile
import threading
import time
import unittest

import aiohttp

from tests import fixture

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:
    webdriver = None


class StandInAgent:
    """The agent's WebSocket, on a thread of its own: frames received land in `frames`."""

    def __init__(self, url, token, cafile):
        self.frames = queue.Queue()
        self.loop = asyncio.new_event_loop()
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self.loop.run_until_complete,
                                       args=(self.run(url, token, cafile),), daemon=True)
        self.thread.start()
        self.ready.wait()

    async def run(self, url, token, cafile):
        self.done = asyncio.Event()
        async with aiohttp.ClientSession() as http:
            self.ws = await http.ws_connect(url, ssl=ssl.create_default_context(cafile=cafile),
                                            headers={"Authorization": "Bearer " + token})
            self.ready.set()
            reader = asyncio.ensure_future(self.read())
            await self.done.wait()
            reader.cancel()
            await self.ws.close()

    async def read(self):
        async for msg in self.ws:
            self.frames.put(json.loads(msg.data))

    def send(self, frame):
        asyncio.run_coroutine_threadsafe(self.ws.send_str(json.dumps(frame)), self.loop).result()

    def next(self):
        return self.frames.get(timeout=60)

    def close(self):
        self.loop.call_soon_threadsafe(self.done.set)
        self.thread.join()


def data(document):
    return base64.b64encode(json.dumps(document).encode()).decode()


@unittest.skipUnless(webdriver and os.path.exists(CHROMIUM), "needs Chromium and Selenium")
class OperatorPage(unittest.TestCase):
    def setUp(self):
        self.server = fixture.Server()
        self.addCleanup(self.server.close)
        enrolled = self.server.enroll("desk-02")
        self.agent_id = enrolled["agent_id"]
        self.gateway = fixture.Gateway(self.server)
        self.addCleanup(self.gateway.close)
        self.agent = StandInAgent(self.gateway.agent_url, enrolled["device_token"], self.server.file("ca.pem"))
        self.addCleanup(self.agent.close)
        profile = tempfile.mkdtemp(prefix="vela-chromium-")
        self.addCleanup(shutil.rmtree, profile, True)
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile,
                     "--disable-background-networking", "--disable-component-update", "--no-first-run"):
            options.add_argument(flag)
        self.browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.addCleanup(self.browser.quit)

    def events(self, count):
        while True:
            events = self.browser.execute_script("return velaSession.events()")
            if len(events) >= count:
                return events
            time.sleep(0.05)

    def test_open_events_and_close_from_the_page(self):
        self.browser.get(self.gateway.operator + "/operator/")
        # The connected agent is offered in the list.
        while self.browser.execute_script("return document.getElementById('agent').options.length") == 0:
            self.browser.find_element("id", "agents-refresh").click()
            time.sleep(0.1)
        self.assertEqual(self.browser.execute_script("return document.getElementById('agent').value"), self.agent_id)
        self.browser.find_element("id", "operator-name").send_keys("Ops")
        self.browser.find_element("id", "open").click()

        opened = self.agent.next()
        self.assertEqual(opened["type"], "desktop.open")
        session = opened["session_id"]
        self.assertEqual(json.loads(base64.b64decode(opened["data"])),
                         {"consent": True, "mode": "attended", "mon": 0, "operator": "Ops",
                          "recording_required": True})

        # Another session's frame is not this page's business.
        self.agent.send({"type": "desktop.error", "session_id": "other", "message": "x"})
        self.agent.send({"type": "desktop.opened", "session_id": session, "data": data(
            {"consent": "accepted", "indicator_ack": {"shown_at": 1, "text_version": "v1-0000abcd"},
             "monitors": [0], "recording_ready": True})})
        self.agent.send({"type": "desktop.recording", "session_id": session,
                         "data": data({"state": "beat", "seq": 1, "bytes": 600})})
        events = self.events(2)
        self.assertEqual([e["type"] for e in events], ["desktop.opened", "desktop.recording"])
        self.assertEqual(events[0]["monitors"], [0])
        self.assertEqual(events[1]["seq"], 1)
        self.assertEqual(self.browser.find_element("id", "session-state").text, "opened")

        self.browser.find_element("id", "close").click()
        self.assertEqual(self.agent.next(), {"type": "desktop.close", "session_id": session, "reason": "operator"})
        self.agent.send({"type": "desktop.recording", "session_id": session,
                         "data": data({"state": "final", "sha256": "ab" * 32, "bytes": 9, "duration_s": 3.0,
                                       "storage": "file:///tmp/x.mp4", "format": "fmp4"})})
        self.assertEqual(self.events(3)[2]["state"], "final")


if __name__ == "__main__":
    unittest.main()
