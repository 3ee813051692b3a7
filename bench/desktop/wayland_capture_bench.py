"""The agent's own capture cost on GNOME under Wayland beside X11's, from one run: the
same full-screen window, animated, at 1920x1080, captured for SECONDS by each backend
(GNOME's API, the desktop portal with its dialog answered through mutter's input, X11)
(bench_wayland_capture, CPU of the capturing process only; mutter's and Xvfb's own
printed beside it), and GNOME's still screen, which must deliver no frames.

Usage: wayland_capture_bench.py BENCH_EXE [SECONDS, default 10]"""

import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "desktop", "wayland"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "desktop", "e2e"))
from gnome_session import GnomeSession  # noqa: E402
from x_display import Xvfb  # noqa: E402
from screen_person import ScreenPerson  # noqa: E402

WINDOW = os.path.join(SOURCE, "tests", "desktop", "wayland", "wayland_test_window.py")
SIZE = (1920, 1080)


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except OSError:
            pass
    return total


def window_ready(proc):
    line = proc.stdout.readline()
    if '"ready"' not in line:
        raise SystemExit("the test window did not start")


def measure(argv, env, server_pids, seconds, popen=subprocess.Popen, started=None):
    before = cpu_seconds(server_pids)
    start = time.monotonic()
    proc = popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if started:
        started()
    out, err = proc.communicate()
    if proc.returncode != 0:
        raise SystemExit(f"{argv[1]}: {err.strip()}")
    result = json.loads(out)
    result["server_cpu_pct"] = round(100 * (cpu_seconds(server_pids) - before) / (time.monotonic() - start), 1)
    return result


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    bench = os.path.abspath(sys.argv[1])
    seconds = sys.argv[2] if len(sys.argv) > 2 else "10"
    results = []

    gnome = GnomeSession(*SIZE)
    try:
        window = gnome.popen(["/usr/bin/python3", WINDOW, "--animate"], env={"GDK_BACKEND": "wayland"},
                             stdout=subprocess.PIPE, text=True)
        window_ready(window)
        results.append(dict(measure([bench, "gnome", seconds], gnome.env, gnome.mutter_pids(), float(seconds),
                                    popen=lambda argv, env, **kw: gnome.popen(argv, env=env, **kw)), screen="animated"))
        hand = ScreenPerson(gnome)

        def share():
            deadline = time.monotonic() + 30
            while not hand.frame().portal_dialog() and time.monotonic() < deadline:
                time.sleep(0.2)
            time.sleep(0.5)  # its entrance animation
            hand.click(*hand.frame().portal_dialog()["share"])
        try:
            results.append(dict(measure([bench, "portal", seconds], gnome.env, gnome.mutter_pids(), float(seconds),
                                        popen=lambda argv, env, **kw: gnome.popen(argv, env=env, **kw),
                                        started=share), screen="animated"))
        finally:
            hand.close()
        window.kill()
        still = gnome.popen(["/usr/bin/python3", WINDOW], env={"GDK_BACKEND": "wayland"}, stdout=subprocess.PIPE,
                            text=True)
        window_ready(still)
        results.append(dict(measure([bench, "gnome", "3", "1"], gnome.env, gnome.mutter_pids(), 3,
                                    popen=lambda argv, env, **kw: gnome.popen(argv, env=env, **kw)), screen="still"))
    finally:
        gnome.close()

    xvfb = Xvfb(*SIZE)
    try:
        env = dict(os.environ, DISPLAY=xvfb.name, GDK_BACKEND="x11")
        env.pop("WAYLAND_DISPLAY", None)
        window = subprocess.Popen(["/usr/bin/python3", WINDOW, "--animate"], env=env, stdout=subprocess.PIPE,
                                  text=True)
        window_ready(window)
        results.append(dict(measure([bench, "x11", seconds], env, [xvfb.proc.pid], float(seconds)), screen="animated"))
        window.kill()
    finally:
        xvfb.kill()

    print(f"{'backend':8} {'screen':9} {'frames':>7} {'new':>6} {'agent CPU %':>12} {'ms/frame':>9} "
          f"{'ms/new frame':>13} {'server CPU %':>13}")
    for r in results:
        per_new = 1000 * r["cpu_s"] / r["new_frames"] if r["new_frames"] else 0
        print(f"{r['backend']:8} {r['screen']:9} {r['frames']:7} {r['new_frames']:6} {r['cpu_pct']:12} "
              f"{r['cpu_ms_per_frame']:9} {per_new:13.2f} {r['server_cpu_pct']:13}")


if __name__ == "__main__":
    main()
