#!/usr/bin/env bash
# Builds the fuzz targets (clang, build/fuzz) and runs each for SECONDS (default 600),
# growing the corpus kept in build/fuzz/fuzz-corpus across runs.
# Usage: scripts/fuzz.sh [SECONDS [TARGET...]]   (TARGET as in tests/fuzz/run.sh)
# VELA_FUZZ_JOBS=2 runs two targets side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_NOHASHDIR=true
export CCACHE_BASEDIR="$PWD"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DVELA_BUILD_FUZZ=ON -DVELA_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzz_targets
exec bash tests/fuzz/run.sh build/fuzz "${1:-600}" "${@:2}"
