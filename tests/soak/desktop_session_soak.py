"""Desktop sessions opened and closed again and again on one serving agent, each
answered by Chromium on the operator page until video decodes. After the last cycle the
agent's descriptors and threads are back where they were after the first, and its
resident memory within 2 MB of it.

Usage: desktop_session_soak.py AGENT_EXE; VELA_DESKTOP_SOAK_COUNT cycles (default 5,
scripts/soak.sh runs 50)."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "desktop", "e2e"))
from desktop_stack import Stack, agent_argument  # noqa: E402

AGENT = None
COUNT = int(os.environ.get("VELA_DESKTOP_SOAK_COUNT", "5"))


class DesktopSessionSoak(unittest.TestCase):
    def cycle(self, s, n):
        session = f"soak-{n}"
        s.browser.js("velaSession.open(arguments[0], {session: arguments[1], mode: 'unattended', consent: false})",
                     s.agent_id, session)
        s.frame(session, "desktop.opened")
        s.wait("video decoded", lambda: s.browser.js("return velaOperator.stats()").get("framesDecoded", 0) > 0)
        s.browser.js("velaSession.close()")
        s.frame(session, "desktop.recording", state="final")
        os.remove(os.path.join(s.recordings, s.files()[0]))

    def settled(self, s, baseline=None):
        """The agent's figures once its closing work is done (threads wind down)."""
        time.sleep(2)
        for _ in range(21):
            figures = s.process_figures()
            if baseline is None or figures[:2] == baseline[:2]:
                break
            time.sleep(0.5)
        return figures

    def test_open_close_cycles(self):
        s = Stack(AGENT)
        self.addCleanup(s.close)
        started = time.monotonic()
        self.cycle(s, 1)
        first = self.settled(s)
        for n in range(2, COUNT + 1):
            self.cycle(s, n)
        last = self.settled(s, first)
        print(f"\ndesktop soak: {COUNT} sessions in {time.monotonic() - started:.0f} s; "
              f"after the first: {first[0]} descriptors, {first[1]} threads, {first[2]} kB resident; "
              f"after the last: {last[0]} descriptors, {last[1]} threads, {last[2]} kB resident "
              f"({last[2] - first[2]:+d} kB)", file=sys.stderr)
        self.assertEqual(last[:2], first[:2])
        self.assertLessEqual(last[2] - first[2], 2048)
        self.assertEqual(s.gateway.of(f"soak-{COUNT}", "desktop.closed"), [])


if __name__ == "__main__":
    AGENT = agent_argument(__doc__)
    unittest.main()
