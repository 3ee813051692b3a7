"""The WebRTC peer against headless Chromium, in a network namespace with only lo.

Usage: browser_test.py HARNESS_EXE (re-runs itself under `unshare --net` when needed)."""

import json
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_driver  # noqa: E402

HARNESS = None


def decoding(session, width, height, more_than=0):
    """Relays until the page has decoded more than `more_than` frames at this size."""
    def check():
        stats = session.stats()
        if (stats.get("framesDecoded", 0) > more_than and stats.get("frameWidth") == width
                and stats.get("frameHeight") == height):
            return stats
        return None
    return session.wait(f"frames decoded at {width}x{height}", check)


class PeerAgainstChromium(unittest.TestCase):
    """One browser for the whole class; the tests run in name order and build on each other."""

    @classmethod
    def setUpClass(cls):
        cls.s = browser_driver.Session(HARNESS)
        cls.s.harness.send(cmd="start", width=1280, height=720, fps=30)

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_1_offer_is_answered_and_video_decodes_at_pushed_size(self):
        stats = decoding(self.s, 1280, 720, more_than=30)
        self.assertEqual(stats["streamId"], "vela-desktop")
        self.assertEqual(stats["trackId"], "screen0")
        self.s.wait("ICE connected on the agent", lambda: "connected" in self.s.harness.states)
        self.assertEqual(self.s.harness.offers, 1)
        self.assertLessEqual(set(self.s.harness.states), {"new", "connecting", "connected"})

    def test_2_page_input_reaches_the_agent(self):
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
        driver, controls = self.s.browser.driver, self.s.harness.controls
        video = driver.find_element("id", "screen")
        self.s.wait("input channel open on the page", lambda: self.s.browser.js("return velaOperator.channelOpen('input')"))
        ActionChains(driver).move_to_element(video).click().send_keys("hi").perform()
        ActionChains(driver).scroll_from_origin(ScrollOrigin.from_element(video), 0, 120).perform()
        driver.find_element("id", "res-send").click()

        def arrived():
            messages = [json.loads(t) for t in controls]
            keys = [m["code"] for m in messages if m.get("t") == "k" and m.get("e") == "down"]
            return keys[-2:] == ["KeyH", "KeyI"] and {"w", "res"} <= {m.get("t") for m in messages} and messages
        messages = self.s.wait("typed keys, the wheel and the resolution at the agent", arrived)
        self.assertLessEqual({("m", "down"), ("m", "up")}, {(m.get("t"), m.get("e")) for m in messages})
        self.assertEqual([m for m in messages if m.get("t") == "res"][0], {"t": "res", "w": 1280, "h": 720, "fps": 30})

    def test_3_remote_input_channel_adopted_other_labels_ignored(self):
        js = self.s.browser.js
        js("return velaOperator.openChannel('chat')")
        self.s.wait("chat channel open", lambda: js("return velaOperator.channelOpen('chat')"))
        self.assertTrue(js("return velaOperator.sendOn('chat', 'on another label')"))
        js("return velaOperator.openChannel('input')")
        self.s.wait("page's own input channel open", lambda: js("return velaOperator.channelOpen('input')"))
        self.assertTrue(js("return velaOperator.sendOn('input', 'on the page input channel')"))
        self.s.wait("message on the adopted channel", lambda: "on the page input channel" in self.s.harness.controls)
        self.assertNotIn("on another label", self.s.harness.controls)
        # The agent's own control text reaches the page, on the channel it adopted last.
        self.s.harness.send(cmd="send", text="to the adopted channel")
        self.s.wait("reply on the adopted channel",
                    lambda: {"label": "input", "text": "to the adopted channel"} in js("return velaOperator.controls()"))

    def test_4_target_resolution_scales_the_video(self):
        # The bitrate caps that go with it are the peer's unit test's.
        self.s.harness.send(cmd="res", w=640, h=360, fps=15)
        decoding(self.s, 640, 360)
        self.s.harness.send(cmd="res", w=1920, h=1080, fps=30)
        decoding(self.s, 1280, 720)  # never scaled up beyond the pushed size

    def test_5_renegotiate_gives_a_second_working_connection(self):
        js = self.s.browser.js
        self.s.harness.send(cmd="renegotiate")
        self.s.wait("second offer", lambda: self.s.harness.offers == 2)
        decoding(self.s, 1280, 720, more_than=30)  # on the new connection
        self.s.wait("new input channel open", lambda: js("return velaOperator.channelOpen('input')"))
        self.assertTrue(js("return velaOperator.sendOn('input', 'after renegotiation')"))
        self.s.wait("message after renegotiation", lambda: "after renegotiation" in self.s.harness.controls)
        self.s.settle(2)  # a connected peer with open channels must not offer again by itself
        self.assertEqual(self.s.harness.offers, 2)

    def test_6_close_while_connected_returns(self):
        self.s.harness.ask("closed", cmd="close")
        self.s.harness.send(cmd="send", text="after close")  # dropped: no connection
        self.assertEqual(self.s.harness.ask("bitrate", cmd="bitrate")["kbps"], 0)


class SessionMediaAgainstChromium(unittest.TestCase):
    """A session's peer and recording behind one encoder, fed as the session controller
    feeds them; the recording starts, and must be durable, before the peer offers."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="vela-session-")
        cls.s = browser_driver.Session(HARNESS, args=["--session", cls.dir],
                                       env={"GST_TRACERS": "leaks(filters=GstX264Enc)"})

    @classmethod
    def tearDownClass(cls):
        try:
            cls.s.close()
        finally:
            shutil.rmtree(cls.dir, ignore_errors=True)

    def test_recording_and_browser_share_one_encoder(self):
        h, js = self.s.harness, self.s.browser.js
        started = time.monotonic()
        h.send(cmd="start", width=1280, height=720, fps=30)
        self.assertGreater(h.ask("durable")["bytes"], 512)
        self.assertEqual(h.offers, 0, "no offer before the recording is durable")

        h.send(cmd="peer", width=1280, height=720)
        decoding(self.s, 1280, 720, more_than=30)
        self.assertEqual(h.ask("x264", cmd="x264")["count"], 1)

        # A fresh connection replaces only the peer's tail; the recording goes on.
        h.send(cmd="renegotiate")
        self.s.wait("second offer", lambda: h.offers == 2)
        self.s.wait("frames on the new connection", lambda: js("return velaOperator.stats()").get("framesDecoded", 0) > 30)
        self.s.settle(max(0.0, 4.5 - (time.monotonic() - started)))

        recording = h.ask("recording", cmd="finalize")
        self.assertTrue(recording["final"])
        self.assertEqual(recording["decodeError"], "")
        self.assertEqual((recording["width"], recording["height"]), (1280, 720))
        self.assertGreaterEqual(recording["durationS"], 3.0)
        self.assertAlmostEqual(recording["decodedS"], recording["durationS"], delta=0.2)
        # Frames the encoder cannot take in time are dropped, more of them on a busy
        # machine; the file still covers the whole session.
        self.assertGreaterEqual(recording["frames"], 5 * recording["durationS"])
        print(f"\nshared encoder: {recording['frames']} frames in {recording['durationS']:.2f} s recorded",
              file=sys.stderr)
        self.assertEqual(len(os.listdir(self.dir)), 1)
        # Ending the recording made no encoder of its own (that the peer keeps receiving is
        # shared_recording_test's).
        self.assertEqual(h.ask("x264", cmd="x264")["count"], 1)


if __name__ == "__main__":
    HARNESS = browser_driver.isolated_arguments(__doc__)[0]
    unittest.main()
