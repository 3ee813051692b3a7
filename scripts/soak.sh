#!/usr/bin/env bash
# Builds the agent and the soak tests (build/release) and runs them with the full counts,
# printing the process figures: 200 failing control-plane answers in a row, 1000 gateway
# drops, 100 SIGKILLs of the daemon (each count can be overridden through its variable;
# VELA_SOAK_SEED repeats a run). The test command runs the same tests (CTest label
# "soak") with small counts. As root it runs in a network namespace of its own, so the
# fixed gateway port is its alone for the hour or so it takes.
# Usage: scripts/soak.sh [GTEST_FILTER]
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_NOHASHDIR=true
export CCACHE_BASEDIR="$PWD"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target vela-agent test_soak
export VELA_NO_UI=1
export VELA_SOAK_COUNT=${VELA_SOAK_COUNT:-200} VELA_SOAK_DROPS=${VELA_SOAK_DROPS:-1000} \
  VELA_SOAK_KILLS=${VELA_SOAK_KILLS:-100}
run=(build/release/tests/test_soak "--gtest_filter=${1:-*}")
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  unshare -n sh -c 'ip link set lo up && exec "$@"' sh "${run[@]}"
else
  "${run[@]}"
fi
# The desktop soak makes its own namespaces; it runs when no filter narrows the run.
if [ $# -eq 0 ]; then
  VELA_DESKTOP_SOAK_COUNT=${VELA_DESKTOP_SOAK_COUNT:-50} \
    /usr/bin/python3 tests/soak/desktop_session_soak.py build/release/src/vela-agent
fi
