"""The WebRTC peer streaming to headless Chromium: 1920x1080 at 30 fps of a moving test
pattern, in a network namespace with only loopback. Prints frames decoded per second in
Chromium, the agent's CPU (% of one core) and glass-to-glass latency (a frame counter
drawn into each pushed picture, read back from the decoded video in the page), each
beside its goal.

Usage: webrtc_browser_bench.py HARNESS_EXE [--seconds N]"""

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "desktop", "linux", "webrtc"))
import browser_driver  # noqa: E402

WIDTH, HEIGHT, FPS = 1920, 1080, 30


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("harness")
    parser.add_argument("--seconds", type=float, default=20)
    args = parser.parse_args()

    session = browser_driver.Session(args.harness, stamps=True)
    try:
        session.harness.send(cmd="start", width=WIDTH, height=HEIGHT, fps=FPS)
        session.wait("1080p frames decoding", lambda: (lambda s: s.get("framesDecoded", 0) > 30
                                                       and s.get("frameWidth") == WIDTH)(session.stats()))
        session.browser.js("velaOperator.measure()")
        session.settle(3)  # warm-up: encoder rate control and jitter buffer settle
        session.browser.js("velaOperator.stamps()")

        before = session.stats()
        cpu_before = session.harness.ask("cpu", cmd="cpu")
        t0 = time.monotonic()
        session.settle(args.seconds)
        after = session.stats()
        cpu_after = session.harness.ask("cpu", cmd="cpu")
        elapsed = time.monotonic() - t0
        stamps = session.browser.js("return velaOperator.stamps()")
    finally:
        session.close()

    fps = (after["framesDecoded"] - before["framesDecoded"]) / elapsed
    received = (after["framesReceived"] - before["framesReceived"]) / elapsed
    decoded = max(1, after["framesDecoded"] - before["framesDecoded"])
    decode_ms = (after["totalDecodeTime"] - before["totalDecodeTime"]) / decoded * 1000
    wall = cpu_after["wall"] - cpu_before["wall"]
    process = (cpu_after["process"] - cpu_before["process"]) / wall * 100
    pattern = (cpu_after["pattern"] - cpu_before["pattern"]) / wall * 100
    latencies = []
    for counter, seen in stamps:
        pushed = session.harness.pushed.get(counter)
        if pushed is not None and 0 <= seen - pushed < 5000:
            latencies.append(seen - pushed)

    print(f"WebRTC peer -> headless Chromium, {WIDTH}x{HEIGHT}@{FPS}, {elapsed:.0f} s, loopback namespace")
    print(f"  frames decoded per second  {fps:6.1f}        goal >= 29")
    encoded = (cpu_after["encoded"] - cpu_before["encoded"]) / wall
    print(f"  (frames encoded per second by the agent {encoded:.1f}, received by Chromium {received:.1f},"
          f" Chromium's mean decode time {decode_ms:.1f} ms)")
    print(f"  agent CPU, % of one core   {process - pattern:6.1f}        goal <= 50"
          f"   (harness process {process:.1f}, of which test-pattern drawing {pattern:.1f})")
    if latencies:
        print(f"  glass-to-glass median ms   {statistics.median(latencies):6.1f}        goal <= 100")
        print(f"  glass-to-glass p95 ms      {percentile(latencies, 0.95):6.1f}"
              f"        ({len(latencies)} frames read back of {len(stamps)} shown)")
    else:
        print("  glass-to-glass: no frame counter could be read back")
    print(f"  decoded size               {after.get('frameWidth')}x{after.get('frameHeight')}")
    print(f"  machine load average       {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores (shared; figures are noisy)")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    code = browser_driver.run_in_namespace([sys.executable] + sys.argv)
    if code is not None:
        sys.exit(code)
    main()
