"""The layer check passes on the tree and fails on a planted include that runs back up."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
CHECK = os.path.join(ROOT, "tools", "checks", "layer_check.py")


def run(src):
    return subprocess.run([sys.executable, CHECK, src], capture_output=True, text=True)


class LayerCheckTest(unittest.TestCase):
    def test_the_tree_keeps_its_layers(self):
        result = run(os.path.join(ROOT, "src"))
        self.assertEqual(result.returncode, 0, result.stdout)

    def plant(self, path, include):
        src = os.path.join(self.tmp, "src")
        shutil.copytree(os.path.join(ROOT, "src"), src)
        with open(os.path.join(src, path), "a") as f:
            f.write('\n#include "%s"\n' % include)
        return run(src)

    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def test_an_include_back_up_fails(self):
        cases = [
            ("desktop/linux/x11/x11_screen.h", "desktop/linux/webrtc/peer_sdp.h", "desktop/linux/webrtc"),
            ("desktop/desktop_peer.h", "ui/desktop_consent.h", "ui"),
            ("util/base64.h", "net/http_client.h", "net"),
            ("ui/desktop_consent.h", "quickassist/quick_assist_client.h", "quickassist"),
        ]
        for path, include, folder in cases:
            with self.subTest(path=path):
                result = self.plant(path, include)
                self.assertEqual(result.returncode, 1)
                self.assertIn("%s includes %s" % (path, include), result.stdout)
                self.assertIn("may not include %s" % folder, result.stdout)
                shutil.rmtree(os.path.join(self.tmp, "src"))

    def test_folders_on_one_line_stay_apart(self):
        result = self.plant("remote/shell_frames.h", "ui/desktop_consent.h")
        self.assertEqual(result.returncode, 1)
        self.assertIn("remote may not include ui", result.stdout)

    def test_a_new_folder_must_be_placed(self):
        src = os.path.join(self.tmp, "src")
        shutil.copytree(os.path.join(ROOT, "src"), src)
        os.makedirs(os.path.join(src, "printing"))
        open(os.path.join(src, "printing", "queue.h"), "w").close()
        result = run(src)
        self.assertEqual(result.returncode, 1)
        self.assertIn("printing/queue.h: folder not in the layer table", result.stdout)


if __name__ == "__main__":
    unittest.main()
