#!/usr/bin/env bash
# Builds and runs the whole suite: a normal build (and the installation in a booted
# systemd container), the fuzz targets for a bounded number of runs, the threaded suites
# in a clang build with thread-safety analysis and ThreadSanitizer, and everything again
# in an AddressSanitizer + UndefinedBehaviorSanitizer build. Any failure or sanitizer
# report fails the run. Each stage's heading says how long the run has taken so far.
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
# Per test: a hang costs minutes, not the run. Tests known to need longer (browsers,
# soaks) carry a TIMEOUT of their own, which wins.
timeout=300 timeout_sanitized=480

stage() {  # stage NAME: prints the stage's heading and how long the run has taken so far
  echo "== $1 (at ${SECONDS}s)"
}

can_isolate() { [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; }
isolated() {  # isolated COMMAND...: runs it in a network namespace of its own, only lo up
  unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
}

# Nearly every suite queues on the gateway port's lock, so one ctest runs them almost one
# after another. Each network namespace has a port 8443 of its own: two halves of the
# suites run side by side, the first named, the second all the rest. Without the rights
# to make namespaces, one ctest runs everything.
ctest_halves() {  # ctest_halves DIR "FIRST HALF LABELS" -L|-LE REGEX [ctest options...]
  local dir=$1 names=$2 first flag=$3 regex=$4 status=0 rest
  first="^($(echo "$names" | tr ' ' '|'))\$"
  shift 4
  if ! can_isolate; then
    (cd "$dir" && ctest "$@" "$flag" "$regex") || status=1
    return $status
  fi
  if [ "$flag" = -LE ]; then rest=(-LE "$first|$regex"); else rest=(-L "$regex" -LE "$first"); fi
  (cd "$dir" && isolated ctest "$@" -L "$first" "$flag" "$regex" > first-half.log 2>&1) &
  local pid=$!
  (cd "$dir" && isolated ctest "$@" "${rest[@]}") || status=1
  wait "$pid" || status=1
  echo "== the first half, which ran beside the above: $names"
  cat "$dir/first-half.log"
  return $status
}

build() {  # build DIR TARGETS [cmake options...]; TARGETS space-separated, "all" builds everything
  local dir=$1 targets=$2; shift 2
  # shellcheck disable=SC2086  # the target list is split on purpose
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j "$jobs" --target $targets
}

# Release (-O3) rather than RelWithDebInfo: the optimiser's extra warnings must stay
# clean too, and no test needs debug information (the sanitizer build has it).
stage "release build"
if build build/release all -DCMAKE_BUILD_TYPE=Release; then
  # Nearly every other test queues on the gateway port's lock, so the soaks run beside
  # them in a network namespace of their own, where port 8443 is theirs alone. Without
  # the rights to make one they run after the others.
  if can_isolate; then
    (cd build/release && isolated ctest --output-on-failure --timeout 1200 -L '^soak$' > soak.log 2>&1) &
    soaks=$!
    (cd build/release && ctest --output-on-failure -j "$jobs" --timeout "$timeout" -LE '^(systemd|soak)$') || failed=1
    wait "$soaks" || failed=1
    echo "== soaks (beside the release tests, in their own network namespace)"
    cat build/release/soak.log
  else
    (cd build/release && ctest --output-on-failure -j "$jobs" --timeout "$timeout" -LE '^systemd$') || failed=1
  fi
else
  failed=1
fi

# The installation booted in a systemd container: slow, so once, from the release build.
stage "systemd container"
(cd build/release && ctest --output-on-failure --timeout 600 -L '^systemd$') || failed=1

if [ -f tests/fuzz/CMakeLists.txt ]; then
  stage "fuzz"
  if build build/fuzz fuzz_targets -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVELA_BUILD_FUZZ=ON -DVELA_BUILD_BENCH=OFF; then
    VELA_FUZZ_JOBS=$jobs bash tests/fuzz/run.sh build/fuzz || failed=1
  else
    failed=1
  fi
fi

# One clang build carries both lock-discipline gates: the thread-safety analysis fails
# the compile, ThreadSanitizer the threaded suites. Only those suites are built: the
# agent's core (with the file transfers' queues), and the desktop module's threaded parts (capture and encoder, recording
# and the shared encoder, the WebRTC peer, the GTK windows) where they are built.
# GLib, GStreamer and GTK are not instrumented: tests/desktop/linux/tsan.supp names their frames.
stage "thread-safety and ThreadSanitizer build"
tsan_suites="util commands remote files desktop_session runtime"
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
  supp="$PWD/tests/desktop/linux/tsan.supp"
  stage "ThreadSanitizer tests"
  # GLib and GStreamer are not instrumented: a race "seen" inside them is noise, and
  # symbolizing it for the suppressions can deadlock against a thread in dlclose. So the
  # interceptors ignore calls from uninstrumented libraries before any report is made.
  TSAN_OPTIONS="second_deadlock_stack=1 ignore_noninstrumented_modules=1 suppressions=$supp" \
    ctest_halves build/tsan "remote commands util desktop_webrtc" \
    -L "^($(echo $tsan_suites | tr ' ' '|'))\$" --output-on-failure -j "$jobs" --timeout "$timeout_sanitized" || failed=1
else
  failed=1
fi

stage "sanitizer build"
if build build/asan all -DCMAKE_BUILD_TYPE=Debug -DVELA_SANITIZE=ON -DVELA_BUILD_BENCH=OFF; then
  # The soaks and the file-transfer run measure descriptors, threads and resident memory,
  # which the sanitizer's quarantine and shadow memory distort; they run in the release
  # build. So do the browser tests: they drive the same components the desktop suites run here, and
  # the time budget has no room for them twice.
  stage "sanitizer tests"
  ctest_halves build/asan "remote update commands enrollment desktop_ipc deploy desktop_x11 identity desktop_input" \
    -LE '^(systemd|soak|browser|e2e)$' --output-on-failure -j "$jobs" --timeout "$timeout_sanitized" || failed=1
else
  failed=1
fi
stage "done"
exit $failed
