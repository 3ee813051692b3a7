#!/usr/bin/env bash
# Builds and runs the whole suite twice: a normal build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build (the installation in a booted systemd container only
# in the first); then the fuzz targets for a bounded number of runs,
# and the threaded suites in a clang build with thread-safety analysis and ThreadSanitizer.
# Any failure or sanitizer report fails the run. Ends with CTest's summary line.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# Build directories differ between developers' builds and this script's; without the
# directory in the hash they share the cache.
export CCACHE_NOHASHDIR=true
export CCACHE_BASEDIR="$PWD"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
jobs=$(nproc)
failed=0

build() {  # build DIR TARGETS [cmake options...]; TARGETS space-separated, "all" builds everything
  local dir=$1 targets=$2; shift 2
  # shellcheck disable=SC2086  # the target list is split on purpose
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j "$jobs" --target $targets
}

# Release (-O3) rather than RelWithDebInfo: the optimiser's extra warnings must stay
# clean too, and no test needs debug information (the sanitizer build has it).
echo "== release build"
if build build/release all -DCMAKE_BUILD_TYPE=Release; then
  # Nearly every other test queues on the gateway port's lock, so the soaks run beside
  # them in a network namespace of their own, where port 8443 is theirs alone. Without
  # the rights to make one they run after the others.
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    (cd build/release && unshare -n sh -c 'ip link set lo up && exec "$@"' sh \
      ctest --output-on-failure --timeout 1200 -L '^soak$' > soak.log 2>&1) &
    soaks=$!
    (cd build/release && ctest --output-on-failure -j "$jobs" --timeout 600 -LE '^(systemd|soak)$') || failed=1
    wait "$soaks" || failed=1
    echo "== soaks (beside the release tests, in their own network namespace)"
    cat build/release/soak.log
  else
    (cd build/release && ctest --output-on-failure -j "$jobs" --timeout 600 -LE '^systemd$') || failed=1
  fi
else
  failed=1
fi

# The installation booted in a systemd container: slow, so once, from the release build.
echo "== systemd container"
(cd build/release && ctest --output-on-failure --timeout 900 -L '^systemd$') || failed=1

if [ -f tests/fuzz/CMakeLists.txt ]; then
  echo "== fuzz"
  if build build/fuzz fuzz_targets -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVELA_BUILD_FUZZ=ON -DVELA_BUILD_BENCH=OFF; then
    bash tests/fuzz/run.sh build/fuzz || failed=1
  else
    failed=1
  fi
fi

# One clang build carries both lock-discipline gates: the thread-safety analysis fails
# the compile, ThreadSanitizer the threaded suites. Only those suites are built: the
# agent's core, and the desktop module's threaded parts (capture and encoder, recording
# and the shared encoder, the WebRTC peer, the GTK windows) where they are built.
# GLib, GStreamer and GTK are not instrumented: tests/desktop/tsan.supp names their frames.
echo "== thread-safety and ThreadSanitizer build"
tsan_suites="util commands remote runtime"
tsan_options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
              -DVELA_TSAN=ON -DVELA_BUILD_BENCH=OFF)
if cmake -S . -B build/tsan -G Ninja "${tsan_options[@]}" >/dev/null; then
  for suite in desktop desktop_recording desktop_webrtc ui; do
    grep -q "^build tests/test_$suite " build/tsan/build.ninja && tsan_suites="$tsan_suites $suite"
  done
fi
if build build/tsan "$(printf 'test_%s ' $tsan_suites)" "${tsan_options[@]}"; then
  # A report makes its process exit with status 66: the test binary fails, and so does a
  # test that checks the exit of a daemon it ran.
  supp="$PWD/tests/desktop/tsan.supp"
  (cd build/tsan && TSAN_OPTIONS="second_deadlock_stack=1 suppressions=$supp" \
    ctest --output-on-failure -j "$jobs" --timeout 900 -L "^($(echo $tsan_suites | tr ' ' '|'))\$") || failed=1
else
  failed=1
fi

echo "== sanitizer build"
if build build/asan all -DCMAKE_BUILD_TYPE=Debug -DVELA_SANITIZE=ON -DVELA_BUILD_BENCH=OFF; then
  # The soaks measure descriptors, threads and resident memory, which the sanitizer's
  # quarantine and shadow memory distort; they run in the release build. So do the
  # browser tests: they drive the same components the desktop suites run here, and
  # the time budget has no room for them twice.
  (cd build/asan && ctest --output-on-failure -j "$jobs" --timeout 900 -LE '^(systemd|soak|browser)$') || failed=1
else
  failed=1
fi
exit $failed
