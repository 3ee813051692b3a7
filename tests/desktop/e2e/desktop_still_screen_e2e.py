"""A still screen in a real session: the agent (`vela-agent gateway`) serving sessions
through the test gateway to headless Chromium on the operator page, Xvfb with a window
as the screen. While nothing changes the operator receives no video; when its decoder
asks for a keyframe it gets a decodable one; a change then arrives; and a recording with
a long still stretch in the middle lasts as long as the session.

Usage: desktop_still_screen_e2e.py AGENT_EXE (re-runs itself in namespaces of its own)."""

import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_stack import Stack, StackCase, agent_argument, video_decoded  # noqa: E402

AGENT = None
UNATTENDED = "velaSession.open(arguments[0], {session: arguments[1], mode: 'unattended', consent: false})"


def clock(text):
    h, m, s = text.split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)


def recorded_span(path):
    """(pictures, seconds from the first picture's start to the last one's end) of a
    recording, as a decoder presents them."""
    out = subprocess.run(["gst-launch-1.0", "-v", "filesrc", f"location={path}", "!", "qtdemux", "!", "h264parse",
                          "!", "avdec_h264", "!", "fakesink", "silent=false"],
                         capture_output=True, text=True, check=True).stdout
    frames = [(clock(pts), clock(duration)) for pts, duration in
              re.findall(r"chain .*?pts: (\d+:\d\d:[\d.]+), duration: (\d+:\d\d:[\d.]+)", out)]
    return len(frames), frames[-1][0] + frames[-1][1] - frames[0][0]


class StillScreenEndToEnd(StackCase):
    @classmethod
    def setUpClass(cls):
        cls.s = Stack(AGENT)
        cls.js = cls.s.browser.js

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def stats(self):
        return self.js("return velaOperator.stats()")

    def measure(self):
        """From now on the page notes every picture it shows, with the time it did."""
        self.js("if (!window.measuring) { velaOperator.measure(); window.measuring = true; }")

    def quiet(self, seconds):
        """Waits until no packet has come for `seconds`."""
        last, since = None, time.monotonic()
        while time.monotonic() - since < seconds:
            packets = self.stats().get("packetsReceived")
            if packets != last:
                last, since = packets, time.monotonic()
            time.sleep(0.05)

    def type_and_see(self, key):
        """Types `key` into the window and waits for the page to show a new picture;
        returns the milliseconds from the key to the picture on the page."""
        before = self.stats()["framesDecoded"]
        self.js("velaOperator.stamps()")
        pressed = time.time() * 1000
        self.s.screen.key(key)
        self.s.wait("the change on the page", lambda: self.stats()["framesDecoded"] > before)
        shown = self.s.wait("the picture's stamp", lambda: self.js("return velaOperator.stamps()"))
        return shown[0][1] - pressed

    def test_1_still_screen_sends_no_video_but_answers_the_decoders_keyframe_request(self):
        s, js, session = self.s, self.js, "still"
        self.measure()
        js(UNATTENDED, s.agent_id, session)
        # A screen this size is sent whole.
        self.assertEqual(s.frame(session, "desktop.opened")["doc"]["video_size"], {"width": 1280, "height": 720})
        video_decoded(s)
        self.quiet(1.5)  # the banner drawn, and the recording's picture a second after it

        settled = js("return velaOperator.stamps()")
        self.assertTrue(settled)
        before = self.stats()
        time.sleep(7)
        shown = [seen for _, seen in js("return velaOperator.stamps()")]
        after = self.stats()
        # Chromium asks for a keyframe after 3 s without a picture, and gets it; nothing
        # else is sent. Its 3 s run from when it began to wait for the next picture, a
        # few milliseconds before it showed the last one.
        gaps = [b - a for a, b in zip([settled[-1][1]] + shown, shown)]
        self.assertTrue(all(gap >= 2950 for gap in gaps), gaps)
        self.assertIn(len(shown), (2, 3), shown)
        asked = after["pliCount"] - before["pliCount"]
        self.assertIn(asked, (len(shown), len(shown) + 1))
        self.assertEqual(after["keyFramesDecoded"] - before["keyFramesDecoded"], len(shown))
        self.assertEqual(after["framesDecoded"] - before["framesDecoded"], len(shown))
        # The page keeps showing the picture: the track stays live and unmuted, the video
        # playing. (Chromium's freezeCount does count pauses longer than three average
        # frame intervals, as it would with a repeat a second.)
        video = js("const v = document.getElementById('screen'), t = v.srcObject.getVideoTracks()[0];"
                   "return [v.readyState, v.paused, v.ended, t.readyState, t.muted];")
        self.assertEqual(video, [4, False, False, "live", False])

        latency = self.type_and_see("a")
        print(f"first change after a still period on the page after {latency:.0f} ms", file=sys.stderr)
        js("velaSession.close()")
        self.assert_final_matches_file(s.frame(session, "desktop.recording", state="final"))

    def test_2_a_recording_with_a_still_stretch_lasts_as_long_as_the_session(self):
        s, js, session = self.s, self.js, "still-recorded"
        self.measure()
        js(UNATTENDED, s.agent_id, session)
        s.frame(session, "desktop.opened")
        started = time.monotonic()
        video_decoded(s)
        self.type_and_see("b")
        time.sleep(10)
        self.type_and_see("c")
        time.sleep(2)
        js("velaSession.close()")
        ended = time.monotonic()
        final = self.assert_final_matches_file(s.frame(session, "desktop.recording", state="final"))
        pictures, span = recorded_span(final["storage"][len("file://"):])
        # From before `opened` (the recording's first picture) to the close.
        self.assertGreater(span, ended - started)
        self.assertLess(span, ended - started + 3)
        self.assertAlmostEqual(final["duration_s"], span, delta=0.1)
        # The still stretch cost a picture a second after each change and the
        # decoder's keyframes, not 30 a second.
        self.assertLess(pictures, 60)


if __name__ == "__main__":
    AGENT = agent_argument(__doc__)
    unittest.main(argv=sys.argv[:1])
