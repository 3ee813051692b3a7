"""The WebRTC peer against headless Chromium, in a network namespace with only lo.

Usage: browser_test.py HARNESS_EXE (re-runs itself under `unshare --net` when needed)."""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser_driver  # noqa: E402

HARNESS = None


def decoding(session, width, height, more_than=0):
    """Relays until the page has decoded more than `more_than` frames at this size."""
    def check():
        stats = session.stats()
        size = (stats.get("frameWidth"), stats.get("frameHeight"))
        return stats if stats.get("framesDecoded", 0) > more_than and size == (width, height) else None
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
        self.assertEqual((stats["streamId"], stats["trackId"]), ("vela-desktop", "screen0"))
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

    def test_4_target_resolution_keeps_the_video_flowing_at_the_captured_size(self):
        # Only the rate follows the target (the peer's unit test checks the caps): the
        # recording behind the same encoder cannot change size mid-file.
        for w, h, fps in ((640, 360, 15), (1920, 1080, 30)):
            before = self.s.stats().get("framesDecoded", 0)
            self.s.harness.send(cmd="res", w=w, h=h, fps=fps)
            decoding(self.s, 1280, 720, more_than=before + 30)

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


if __name__ == "__main__":
    HARNESS = browser_driver.isolated_arguments(__doc__)[0]
    unittest.main()
