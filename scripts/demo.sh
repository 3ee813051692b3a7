#!/usr/bin/env bash
# The agent's main job on this machine. Until the daemon lands this builds the agent
# and shows its status.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target vela-agent
build/release/src/vela-agent status
