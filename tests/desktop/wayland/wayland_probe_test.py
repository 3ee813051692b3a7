"""desktop-probe in Wayland sessions: a private headless GNOME session, where it picks
mutter's remote-desktop API and proves capture and encoding; the same session without
mutter, and a Wayland desktop no backend serves, where it says why and exits 1; the
desktop portal's backend chosen with VELA_DESKTOP_BACKEND, which it names but does not
capture with (that would ask the person at the screen). In the
GNOME session also the backend's own tests against mutter (test_gnome_live), those of
monitor layout changes in a session with two monitors.

Usage: wayland_probe_test.py AGENT_EXE GNOME_LIVE_TEST_EXE"""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gnome_session import GnomeSession  # noqa: E402

AGENT = LIVE_TEST = None
SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "linux", "lsan.supp")


def probe(session, *args, env=None):
    proc = session.popen([AGENT, "desktop-probe", *args],
                         env={"LSAN_OPTIONS": "suppressions=" + SUPPRESSIONS, **(env or {})},
                         stdout=-1, stderr=-1, text=True)
    out, err = proc.communicate(timeout=120)
    return proc.returncode, out, err


class WaylandProbe(unittest.TestCase):
    def test_gnome_session_uses_the_remote_desktop_api(self):
        session = GnomeSession(1920, 1080)
        try:
            status, out, err = probe(session)
            self.assertEqual(status, 0, out + err)
            self.assertRegex(out, re.compile(
                "^Remote-desktop preflight \\(Linux\\):\n"
                "  Session: wayland \u2192 backend wayland \\(GNOME remote desktop\\)\n"
                "  Screen Recording: \u2713 granted\n"
                "  Accessibility:    \u2713 granted\n"
                "  Displays \\(1\\):\n"
                "    \u2022 0 1920x1080 \\(main\\)\n"
                "  capturing 1920x1080 @10fps\u2026\n"
                "  captured [1-9][0-9]* frames \u2192 [1-9][0-9]* bytes H.264 \\(keyframe=true\\)\n"
                "\u2713 capture\u2192encode pipeline works.\n$"))
            status, out, _ = probe(session, "--request")
            self.assertEqual(status, 0)
            self.assertTrue(out.endswith("  \u2192 mutter's remote-desktop API needs no prompt; GNOME shows its own "
                                         "sharing indicator.\n"), out)

            self.run_live_tests(session, "-GnomeMonitorChangeTest.*")
        finally:
            session.close()

    def test_monitor_layout_changes_under_a_capture(self):
        session = GnomeSession(1920, 1080, more_monitors=[(800, 600)])
        try:
            self.run_live_tests(session, "GnomeMonitorChangeTest.*")
        finally:
            session.close()
        # Fractional scaling lays monitors out in logical pixels; streams stay in device pixels.
        session = GnomeSession(1920, 1080, more_monitors=[(800, 600)], logical_layout=True)
        try:
            self.run_live_tests(session, "GnomeMonitorChangeTest.AMonitorsScale*")
        finally:
            session.close()

    def run_live_tests(self, session, which):
        live = session.popen([LIVE_TEST, "--gtest_filter=" + which],
                             env={"LSAN_OPTIONS": "suppressions=" + SUPPRESSIONS}, stdout=-1, stderr=-2, text=True)
        out, _ = live.communicate(timeout=180)
        self.assertEqual(live.returncode, 0, out)

    def test_the_portal_backend_chosen_by_the_admin(self):
        session = GnomeSession(1280, 720)
        try:
            status, out, err = probe(session, env={"VELA_DESKTOP_BACKEND": "portal"})
            self.assertEqual(status, 0, out + err)
            # No capture here: it would put the desktop's dialog in front of the person.
            self.assertEqual(out, "Remote-desktop preflight (Linux):\n"
                                  "  Session: wayland \u2192 backend wayland (desktop portal)\n"
                                  "  Screen Recording: \u2713 granted\n"
                                  "  Accessibility:    \u2713 granted\n"
                                  "  Displays (0):\n"
                                  "  not capturing here: the desktop would ask the person at the screen.\n"
                                  "\u2713 attended sessions can work; unattended sessions need GNOME's remote-desktop "
                                  "API; this desktop offers only the portal, which asks the person at the screen.\n")
            status, out, _ = probe(session, "--request", env={"VELA_DESKTOP_BACKEND": "portal"})
            self.assertEqual(status, 0)
            self.assertTrue(out.endswith("the desktop asks the person at the screen in its own dialog for every "
                                         "session; nothing to prompt ahead.\n"), out)
            status, out, _ = probe(session, env={"VELA_DESKTOP_BACKEND": "gnome"})
            self.assertIn("backend wayland (GNOME remote desktop)", out)
            status, out, _ = probe(session, env={"VELA_DESKTOP_BACKEND": "wayland"})
            self.assertEqual(status, 1)
            self.assertIn("VELA_DESKTOP_BACKEND=wayland names no capture backend (gnome, portal, x11).", out)
        finally:
            session.close()

    def test_wayland_sessions_without_a_usable_backend_say_why(self):
        absent = ("  Session: wayland \u2192 no usable backend\n"
                  "  Screen Recording: \u2717 NOT granted\n"
                  "  Accessibility:    \u2717 NOT granted\n"
                  "  Displays (0):\n\n")
        for desktop, why in (
                ("GNOME", "mutter's remote-desktop API (org.gnome.Mutter.RemoteDesktop) is not on the session bus"),
                ("sway", "no capture backend serves this Wayland desktop (sway): the desktop portal offers no "
                         "org.freedesktop.portal.RemoteDesktop")):
            with self.subTest(desktop=desktop):
                session = GnomeSession(mutter=False, desktop=desktop)
                try:
                    status, out, err = probe(session)
                finally:
                    session.close()
                self.assertEqual(status, 1, out + err)
                self.assertEqual(out, "Remote-desktop preflight (Linux):\n" + absent +
                                 f"\u2717 remote desktop cannot work in this wayland session: {why}.\n")


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    AGENT = os.path.abspath(sys.argv.pop(1))
    LIVE_TEST = os.path.abspath(sys.argv.pop(1))
    unittest.main()
