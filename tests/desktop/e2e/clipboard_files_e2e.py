"""Clipboard text both ways in a real desktop session (the agent on Xvfb, the operator in
headless Chromium on the gateway's operator page), and the page's file panel: list,
upload, download. The person's clipboard is GTK's (clip_person.py)."""

import json
import os
import subprocess
import sys

from desktop_stack import Stack, StackCase, agent_argument  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
AGENT = agent_argument("usage: clipboard_files_e2e.py VELA_AGENT") if __name__ == "__main__" else None


class Person:
    def __init__(self, display):
        self.proc = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "clip_person.py")], text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=dict(os.environ, DISPLAY=display))
        assert json.loads(self.proc.stdout.readline()).get("ready")

    def set(self, text):
        self.proc.stdin.write(json.dumps({"set": text}) + "\n")
        self.proc.stdin.flush()

    def get(self):
        self.proc.stdin.write('{"get": true}\n')
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())["text"]

    def close(self):
        self.proc.kill()
        self.proc.wait()


class ClipboardAndFilesEndToEnd(StackCase):
    @classmethod
    def setUpClass(cls):
        cls.s = Stack(AGENT)
        cls.js = cls.s.browser.js
        cls.person = Person(cls.s.xvfb.name)

    @classmethod
    def tearDownClass(cls):
        cls.person.close()
        cls.s.close()

    def test_1_clipboard_both_ways_within_the_cap(self):
        s, js, session = self.s, self.js, "e2e-clip"
        js("velaSession.open(arguments[0], {session: arguments[1], mode: 'unattended', consent: false})",
           s.agent_id, session)
        s.frame(session, "desktop.opened")
        s.wait("the input channel", lambda: js("return velaOperator.channelOpen('input')"))

        self.person.set("kopiert auf dem Rechner ✓")
        s.wait("the machine's text on the page", lambda: js("return velaOperator.clipboard()") == "kopiert auf dem Rechner ✓")

        js("document.getElementById('clip-out').value = arguments[0]; document.getElementById('clip-send').click()",
           "vom Operator — ✓")
        s.wait("the operator's text on the machine", lambda: self.person.get() == "vom Operator — ✓")

        # 600 kB: GTK offers it incrementally, the agent reads it so, the page gets it whole.
        self.person.set("m" * 600_000 + " ✓")
        s.wait("the incremental copy on the page", lambda: js("return velaOperator.clipboard()") == "m" * 600_000 + " ✓")

        # 100 MiB announced in parts: the agent refuses it once and the session goes on.
        js("for (let p = 0; p < 40; ++p) velaOperator.send({t: 'clip', id: 99, part: p, parts: 2134, text: 'x'.repeat(49152)})")
        s.wait("the refusal", lambda: "over the 1 MiB cap" in js("return document.getElementById('clip-state').textContent"))
        self.assertFalse(js("return velaOperator.sendClipboard('y'.repeat(2 * 1024 * 1024))"))  # the page's own cap
        # A big copy on the machine (GTK offers it incrementally) is not shared either.
        self.person.set("z" * (3 << 20))
        self.person.set("danach")
        s.wait("the next small copy", lambda: js("return velaOperator.clipboard()") == "danach")
        self.assertIn("over the 1 MiB cap", s.log_text())
        js("document.getElementById('clip-out').value = arguments[0]; document.getElementById('clip-send').click()",
           "wieder da")
        s.wait("the session still carrying text", lambda: self.person.get() == "wieder da")

    def test_2_file_panel_lists_uploads_and_downloads(self):
        s, js = self.s, self.js
        area = os.path.join(s.tmp, "files")
        os.mkdir(area)
        with open(os.path.join(area, "bericht.txt"), "w") as f:
            f.write("Inhalt auf dem Rechner\n")
        os.mkdir(os.path.join(area, "unterordner"))
        js("document.getElementById('files-path').value = arguments[0]; document.getElementById('files-list').click()", area)
        s.wait("the listing", lambda: "2 entries" in js("return document.getElementById('files-state').textContent"))
        s.browser.driver.set_script_timeout(120)
        done = s.browser.driver.execute_async_script(
            """const done = arguments[arguments.length - 1];
               const file = new File(['hochgeladen ' + 'x'.repeat(600000)], 'neu.txt');
               velaFiles.upload(file, arguments[0], {mode: '0600'}).then((d) => done(d), (e) => done(String(e)));""", area)
        self.assertEqual(done["size"], 600012, done)
        with open(os.path.join(area, "neu.txt")) as f:
            self.assertEqual(f.read(), "hochgeladen " + "x" * 600000)
        self.assertEqual(os.stat(os.path.join(area, "neu.txt")).st_mode & 0o777, 0o600)
        got = s.browser.driver.execute_async_script(
            """const done = arguments[arguments.length - 1];
               velaFiles.download(arguments[0], false).then((d) => done(d), (e) => done(String(e)));""",
            os.path.join(area, "bericht.txt"))
        self.assertEqual(got["text"], "Inhalt auf dem Rechner\n")
        js("velaFiles.list(arguments[0])", area)
        s.wait("the listing with the upload", lambda: "3 entries" in js("return document.getElementById('files-state').textContent"))
        js("document.querySelector('.panel').scrollIntoView()")
        shot = os.environ.get("VELA_SCREENSHOT", os.path.join(s.tmp, "operator.png"))
        s.browser.driver.save_screenshot(shot)
        print("operator page screenshot: " + shot, file=sys.stderr)


if __name__ == "__main__":
    import unittest
    unittest.main(verbosity=2)
