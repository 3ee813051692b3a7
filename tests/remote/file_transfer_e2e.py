"""Files to and from the agent through the real test gateway on port 8443: the agent is
enrolled against the test control plane and serves with `vela-agent gateway`; the
operator is tools/controlplane/files_client.py on the gateway's relay socket. Runs in
network and mount namespaces of its own (port 8443 and the mounts are private).

    file_transfer_e2e.py VELA_AGENT"""

import asyncio
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "desktop", "linux", "webrtc"))
sys.path.insert(0, os.path.join(SOURCE, "tools", "controlplane"))
import browser_driver  # noqa: E402
from browser_driver import fixture  # noqa: E402
from files_client import FilesClient, TransferError  # noqa: E402

SHELL_BOUND_KIB = 64 * 1024  # the shell's bound for a slow operator (tests/remote/gateway_client_test.cpp)
BIG = 200 * 1024 * 1024


class Agent:
    """The enrolled agent serving the gateway; restartable, killable."""

    def __init__(self, exe, server, tmp):
        self.tmp = tmp
        bin_dir = os.path.join(tmp, "bin")
        os.mkdir(bin_dir)
        self.exe = os.path.join(bin_dir, "vela-agent")
        shutil.copy(exe, self.exe)
        shutil.copy(server.file("provisioning.json"), os.path.join(bin_dir, "provisioning.json"))
        self.env = dict(os.environ, VELA_STATE_DIR=os.path.join(tmp, "state"), VELA_NO_UI="1")
        self.config = os.path.join(self.env["VELA_STATE_DIR"], "config.json")
        self.log = os.path.join(tmp, "agent.log")
        with open(os.path.join(tmp, "enrol.log"), "wb") as log:
            run = subprocess.Popen([self.exe, "run"], env=self.env, stdout=log, stderr=log)
            self.id = browser_driver.wait_until("enrolment", self._enrolled, lambda: run.poll() is not None and "exit")
            run.terminate()
            run.wait()
        self.proc = None

    def _enrolled(self):
        try:
            with open(self.config) as f:
                return json.load(f).get("agentID")
        except (OSError, ValueError):
            return None

    def set_policy(self, allowed):
        with open(self.config) as f:
            config = json.load(f)
        config["allowFileTransfer"] = allowed
        with open(self.config, "w") as f:
            json.dump(config, f)

    def start(self, gateway):
        with open(self.log, "ab") as log:
            self.proc = subprocess.Popen([self.exe, "gateway"], env=self.env, stdout=log, stderr=log)
        browser_driver.wait_until("the agent on the gateway", lambda: self.id in gateway_agents(gateway),
                                  lambda: self.proc.poll() is not None and "the agent exited", self.log_text)

    def stop(self, sig=signal.SIGTERM):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.proc.wait() if self.proc else None

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    def log_text(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", "replace")


def gateway_agents(gateway):
    import urllib.request
    try:
        with urllib.request.urlopen(gateway.operator + "/agents") as r:
            return [a["agent"] for a in json.load(r)]
    except OSError:
        return []


def random_file(path, size):
    """`size` pseudo-random bytes (fast, not secret); returns their SHA-256."""
    hasher = hashlib.sha256()
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for i in range(size >> 20):
            piece = bytes([i & 255]) + block[1:]
            f.write(piece)
            hasher.update(piece)
    return hasher.hexdigest()


class FileTransferE2E(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="vela-files-e2e-")
        cls.server = fixture.Server()
        cls.gateway = fixture.Gateway(cls.server, port=8443)
        cls.agent = Agent(AGENT_EXE, cls.server, cls.tmp)
        cls.agent.start(cls.gateway)
        cls.area = os.path.join(cls.tmp, "area")
        os.mkdir(cls.area)

    @classmethod
    def tearDownClass(cls):
        cls.agent.stop(signal.SIGKILL)
        cls.gateway.close()
        cls.server.close()
        if not os.environ.get("VELA_E2E_KEEP"):
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_operator(self, body):
        async def main():
            async with FilesClient(self.gateway.operator, self.agent.id) as fc:
                return await body(fc)
        return asyncio.run(main())

    def test_1_big_file_both_ways_with_memory_bounded_for_a_slow_reader(self):
        source = os.path.join(self.tmp, "big.src")
        digest = random_file(source, BIG)
        with open(source, "rb") as f:
            data = f.read()
        target = os.path.join(self.area, "big.bin")
        peak = [0]

        async def body(fc):
            async def sample():
                while True:
                    peak[0] = max(peak[0], self.agent.rss_kib())
                    await asyncio.sleep(0.1)
            sampler = asyncio.ensure_future(sample())
            started = time.monotonic()
            done = await fc.upload("up-big", target, data, mode="0640")
            up_seconds = time.monotonic() - started
            self.assertEqual(done["sha256"], digest)

            async def slow_then_fast(received):
                # The first 16 MiB at about 2 MB/s with a 3 s pause: a slow, then paused reader.
                if received < 16 << 20:
                    await asyncio.sleep((256 << 10) / 2_000_000)
                if 8 << 20 <= received < (8 << 20) + (256 << 10):
                    await asyncio.sleep(3)
            digest_down = hashlib.sha256()
            started = time.monotonic()
            _, done = await fc.download("down-big", target, pace=slow_then_fast, sink=digest_down.update)
            down_seconds = time.monotonic() - started
            sampler.cancel()
            return done, digest_down.hexdigest(), up_seconds, down_seconds

        done, got, up_s, down_s = self.run_operator(body)
        self.assertEqual(got, digest)
        self.assertEqual(done["sha256"], digest)
        self.assertEqual(os.stat(target).st_mode & 0o7777, 0o640)
        print(f"200 MiB upload {up_s:.1f} s ({BIG / up_s / 1e6:.1f} MB/s), download with a slow start "
              f"{down_s:.1f} s; agent peak RSS {peak[0]} KiB beside the shell's bound of {SHELL_BOUND_KIB} KiB",
              file=sys.stderr)
        self.assertLess(peak[0], SHELL_BOUND_KIB)
        self.assertIn(f"files: upload {target} ({BIG} bytes, sha256 {digest}", self.agent.log_text())
        self.assertIn(f"files: download {target} ({BIG} bytes, sha256 {digest}", self.agent.log_text())
        os.remove(target)
        os.remove(source)

    def test_2_an_upload_killed_half_way_leaves_nothing_under_the_target_name(self):
        target = os.path.join(self.area, "killed.bin")
        data = os.urandom(32 << 20)

        def progress(acked, total):
            if acked >= total // 2 and self.agent.proc.poll() is None:
                self.agent.proc.kill()

        async def body(fc):
            with self.assertRaises(Exception):
                await asyncio.wait_for(fc.upload("up-kill", target, data, progress=progress), 30)
        try:
            self.run_operator(body)
        finally:
            self.agent.proc.wait()
            self.assertFalse(os.path.exists(target))
            # A killed agent can only leave its hidden temporary file.
            leftovers = [n for n in os.listdir(self.area) if not n.startswith(".vela-upload-")]
            self.assertEqual(leftovers, [])
            self.agent.start(self.gateway)
        # The next upload into the directory removes what the killed agent left behind.
        self.assertTrue([n for n in os.listdir(self.area) if n.startswith(".vela-upload-")])
        small = os.urandom(1000)
        self.run_operator(lambda fc: fc.upload("up-after", target, small))
        self.assertEqual(sorted(os.listdir(self.area)), ["killed.bin"])
        self.assertIn("abandoned upload", self.agent.log_text())
        os.remove(target)

    def test_3_bad_input_is_refused_with_its_error_frame(self):
        os.symlink("/etc/shadow", os.path.join(self.area, "shadow-link"))
        os.mkfifo(os.path.join(self.area, "fifo"))
        small = os.path.join(self.tmp, "small")
        os.mkdir(small)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "small", small], check=True)
        data = os.urandom(600_000)

        async def expect(code, coro):
            with self.assertRaises(TransferError) as caught:
                await coro
            self.assertEqual(caught.exception.code, code, caught.exception)

        async def body(fc):
            await expect("bad_path", fc.download("b1", self.area + "/../area/fifo"))
            await expect("bad_path", fc.list("/tmp/\x1b[2Jx"))
            await expect("bad_path", fc.upload("b1", self.area + "/new\nname", data))
            await expect("link", fc.download("b2", self.area + "/shadow-link"))
            await expect("not_regular", fc.download("b3", self.area + "/fifo"))
            await expect("not_regular", fc.download("b3", "/dev/zero"))
            # 10 GiB announced for a 1 MiB disk.
            await fc.send("b4", "file.upload", path=small + "/huge", size=10 << 30, sha256="0" * 64)
            await expect("no_space", fc.next("b4"))
            await expect("bad_offset", fc.upload("b5", self.area + "/o", data, chunk_hook=lambda o, b: (o + 1, b)))
            await expect("past_end", fc.upload("b6", self.area + "/p", data, chunk_hook=lambda o, b: (o, b + b"x" if o + len(b) >= len(data) else b)))
            await expect("hash_mismatch", fc.upload("b7", self.area + "/h", data, sha256="1" * 64))
            # A disk that fills on the way: nothing under the name afterwards.
            def fill(offset, piece):
                if offset == 0:
                    with open(small + "/filler", "wb") as f:
                        f.write(b"\0" * 700_000)
                return offset, piece
            await expect("no_space", fc.upload("b8", small + "/fills", os.urandom(900_000), chunk_hook=fill))
            with open(self.area + "/existing", "wb") as f:
                f.write(b"old")
            await expect("exists", fc.upload("b9", self.area + "/existing", data))
            # Replaced without a mode or owner asked for, the file keeps the old one's.
            os.chown(self.area + "/existing", 65534, 65534)
            os.chmod(self.area + "/existing", 0o604)
            await fc.upload("b9", self.area + "/existing", b"new", overwrite=True)
            st = os.stat(self.area + "/existing")
            self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o7777), (65534, 65534, 0o604))
            await expect("link", fc.upload("b9", self.area + "/shadow-link", data, overwrite=True))
            # A chunk frame over the 1 MiB frame limit ends its upload with its own error; the
            # connection goes on serving.
            big = os.urandom(1 << 20)
            await expect("too_large", fc.upload("b10", self.area + "/big-chunk", big,
                                                chunk_hook=lambda o, b: (o, big if o == 0 else b)))
            await fc.send("b11", "file.chunk", offset=0, data="A" * (2 << 20))
            await expect("too_large", fc.next("b11"))
            self.assertFalse(os.path.exists(self.area + "/big-chunk"))
            # Two uploads and a listing interleaved on the one socket.
            a, b = os.urandom(3 << 20), os.urandom(2 << 20)
            da, db, listing = await asyncio.gather(fc.upload("i1", self.area + "/a", a),
                                                   fc.upload("i2", self.area + "/b", b), fc.list(self.area, "i3"))
            self.assertEqual((da["sha256"], db["sha256"]), (hashlib.sha256(a).hexdigest(), hashlib.sha256(b).hexdigest()))
            return listing
        try:
            listing = self.run_operator(body)
        finally:
            names = [n for n in os.listdir(small) if n != "filler"]
            subprocess.run(["umount", small], check=False)
        self.assertEqual(names, [])
        for name in ("o", "p", "h"):
            self.assertFalse(os.path.exists(os.path.join(self.area, name)), name)
        kinds = {e["name"]: e["type"] for e in listing["entries"]}
        self.assertEqual((kinds["fifo"], kinds["shadow-link"]), ("fifo", "link"))

    def test_4_policy_off_refuses_with_disabled(self):
        self.agent.stop()
        self.agent.set_policy(False)
        self.agent.start(self.gateway)
        try:
            async def body(fc):
                with self.assertRaises(TransferError) as caught:
                    await fc.list("/")
                return caught.exception.frame
            frame = self.run_operator(body)
            self.assertEqual(frame["code"], "disabled")
            self.assertIn("allowFileTransfer", frame["message"])
        finally:
            self.agent.stop()
            self.agent.set_policy(True)
            self.agent.start(self.gateway)


if __name__ == "__main__":
    AGENT_EXE = browser_driver.isolated_arguments("usage: file_transfer_e2e.py VELA_AGENT")[0]
    unittest.main(verbosity=2)
