#!/usr/bin/env python3
"""Fails when a file in src/ includes a header from a folder that is not below its own.

The layers are docs/architecture.md's drawing, bottom up. A folder may include its own
headers and those of any folder on a lower line; folders on one line stay apart.
Usage: layer_check.py [source root]   (default: the repository's src/)"""
import os
import re
import sys

LAYERS = [
    ["util"],
    ["platform"],
    ["config"],
    ["net"],
    ["identity", "telemetry"],
    ["enrollment", "commands", "update", "desktop/input"],
    ["desktop"],
    ["files"],
    ["remote", "desktop/ipc", "desktop/host", "desktop/linux/x11", "desktop/linux/media", "ui"],
    ["desktop/linux/recording", "desktop/linux/webrtc", "desktop/linux/wayland"],
    ["desktop/linux/portal"],
    ["desktop_module", "quickassist"],
    ["runtime"],
    [""],  # main.cpp
]
RANK = {folder: rank for rank, line in enumerate(LAYERS) for folder in line}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    """The table's folder that holds `path` (relative to src/): its longest prefix."""
    parts = os.path.dirname(path).split("/") if os.path.dirname(path) else []
    for n in range(len(parts), -1, -1):
        candidate = "/".join(parts[:n])
        if candidate in RANK:
            return candidate
    return None


def check(root):
    problems = []
    for base, _, files in os.walk(root):
        for name in sorted(files):
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.relpath(os.path.join(base, name), root)
            own = folder_of(path)
            if own is None or (own == "" and os.path.dirname(path)):
                problems.append("%s: folder not in the layer table" % path)
                continue
            with open(os.path.join(root, path), errors="replace") as f:
                text = f.read()
            for included in INCLUDE.findall(text):
                if not os.path.exists(os.path.join(root, included)):
                    continue  # a generated or relative header, not a folder edge
                other = folder_of(included)
                if other is None or other == own:
                    continue
                if RANK[other] >= RANK[own]:
                    problems.append("%s includes %s: %s may not include %s" % (path, included, own or "src", other))
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "src")
    problems = check(os.path.normpath(root))
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
