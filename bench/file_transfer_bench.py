"""File transfer through the test gateway on loopback, beside the remote shell's bulk
output on the same agent, gateway and connection in the same run: MB/s of a 64 MiB
upload and download (window and chunk as the agent announces them) next to MB/s of
`cat` of the same file in a remote shell (its anchor). Runs in network and mount
namespaces of its own (port 8443 is private).

Usage: file_transfer_bench.py VELA_AGENT [--mib N]"""

import argparse
import asyncio
import base64
import json
import os
import shutil
import signal
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "remote"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "desktop", "linux", "webrtc"))
import browser_driver  # noqa: E402
from browser_driver import fixture  # noqa: E402
from file_transfer_e2e import Agent  # noqa: E402
from files_client import FilesClient  # noqa: E402


async def shell_cat(fc, path, size):
    """Seconds for `cat PATH` in a remote shell until `size` bytes of output arrived."""
    session = "bench-shell"
    await fc.send(session, "shell.open", shell="/bin/sh", cols=200, rows=50)
    await fc.next(session, "shell.opened")
    await fc.send(session, "shell.stdin", data=base64.b64encode(b"stty raw -echo\n").decode())
    await asyncio.sleep(0.5)
    while not fc.queue(session).empty():
        fc.queue(session).get_nowait()
    started = time.monotonic()
    await fc.send(session, "shell.stdin", data=base64.b64encode(f"cat {path}\n".encode()).decode())
    got = 0
    while got < size:
        frame = await fc.next(session, "shell.stdout")
        got += len(base64.b64decode(frame["data"]))
    seconds = time.monotonic() - started
    await fc.send(session, "shell.close")
    return seconds


def main():
    exe = browser_driver.isolated_arguments(__doc__.split("\n\n")[-1])[0]
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=64)
    size = parser.parse_args().mib << 20
    tmp = tempfile.mkdtemp(prefix="vela-files-bench-")
    server = fixture.Server()
    gateway = fixture.Gateway(server, port=8443)
    agent = Agent(exe, server, tmp)
    agent.start(gateway)
    data = os.urandom(size)
    source = os.path.join(tmp, "source.bin")
    with open(source, "wb") as f:
        f.write(data)

    async def run():
        async with FilesClient(gateway.operator, agent.id) as fc:
            shell_s = await shell_cat(fc, source, size)
            started = time.monotonic()
            await fc.upload("bench-up", os.path.join(tmp, "up.bin"), data)
            up_s = time.monotonic() - started
            started = time.monotonic()
            await fc.download("bench-down", source, sink=lambda piece: None)
            down_s = time.monotonic() - started
            return shell_s, up_s, down_s
    try:
        shell_s, up_s, down_s = asyncio.run(run())
    finally:
        agent.stop(signal.SIGKILL)
        gateway.close()
        server.close()
        shutil.rmtree(tmp, ignore_errors=True)
    mb = size / 1e6
    print(f"file download {mb / down_s:7.1f} MB/s   (anchor: shell bulk cat {mb / shell_s:7.1f} MB/s, same run)")
    print(f"file upload   {mb / up_s:7.1f} MB/s   (anchor: shell bulk cat {mb / shell_s:7.1f} MB/s, same run)")


if __name__ == "__main__":
    main()
