#!/usr/bin/env bash
# Builds the agent and the soak tests (build/release) and runs them with the full count
# (default 200 failing control-plane answers in a row), printing the process figures.
# The test command runs the same tests (CTest label "soak") with a small count.
# Usage: scripts/soak.sh [COUNT]
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_NOHASHDIR=true
export CCACHE_BASEDIR="$PWD"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target vela-agent test_soak
VELA_SOAK_COUNT=${1:-200} VELA_NO_UI=1 build/release/tests/test_soak
VELA_DESKTOP_SOAK_COUNT=50 /usr/bin/python3 tests/soak/desktop_session_soak.py build/release/src/vela-agent
