#!/usr/bin/env bash
# Footprint of the daemon: runs `vela-agent run` against the test control plane for
# DURATION seconds (default 60) with the default intervals and prints its peak RSS and
# PSS, CPU seconds and wake-ups (context switches of all its threads) per minute,
# next to the targets: under 10 MB RSS and under 0.1% of one core when idle.
# Usage: bench/footprint.sh [BUILD_DIR] [DURATION]
set -euo pipefail
# A build directory given relative to where the script was started from.
BUILD=$(realpath "${1:-$(dirname "$0")/../build/release}")
cd "$(dirname "$0")/.."
DURATION=${2:-60}
PY=/usr/bin/python3
CP="$PY tools/controlplane/controlplane.py"
AGENT="$BUILD/src/vela-agent"
[ -x "$AGENT" ] || { echo "build $AGENT first"; exit 1; }

WORK=$(mktemp -d /tmp/vela-footprint-XXXXXX)
$CP init "$WORK/cp" >/dev/null
$CP serve "$WORK/cp" --port 0 --admin-port 0 >"$WORK/cp.log" 2>&1 &
CP_PID=$!
trap 'kill $CP_PID 2>/dev/null; [ -n "${AGENT_PID:-}" ] && kill $AGENT_PID 2>/dev/null; rm -rf "$WORK"' EXIT
for _ in $(seq 100); do [ -f "$WORK/cp/ports.json" ] && break; sleep 0.1; done
mkdir -p "$WORK/bin"
cp "$AGENT" "$WORK/bin/vela-agent"
cp "$WORK/cp/provisioning.json" "$WORK/bin/provisioning.json"
VELA_STATE_DIR="$WORK/state" "$WORK/bin/vela-agent" run 2>"$WORK/agent.log" &
AGENT_PID=$!
sleep 3  # provisioning and enrolment are not the steady state

ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$AGENT_PID/stat"; }
switches() {
  cat /proc/$AGENT_PID/task/*/status 2>/dev/null |
    awk '/^(voluntary|nonvoluntary)_ctxt_switches/ {s += $2} END {print s}'
}
cpu0=$(cpu); sw0=$(switches); peak_rss=0; peak_pss=0
for _ in $(seq "$DURATION"); do
  rss=$(awk '/^Rss:/ {print $2}' "/proc/$AGENT_PID/smaps_rollup")
  pss=$(awk '/^Pss:/ {print $2}' "/proc/$AGENT_PID/smaps_rollup")
  [ "$rss" -gt "$peak_rss" ] && peak_rss=$rss
  [ "$pss" -gt "$peak_pss" ] && peak_pss=$pss
  sleep 1
done
cpu1=$(cpu); sw1=$(switches)
threads=$(ls /proc/$AGENT_PID/task | wc -l)
kill -TERM $AGENT_PID; wait $AGENT_PID || true
AGENT_PID=""

awk -v rss="$peak_rss" -v pss="$peak_pss" -v c0="$cpu0" -v c1="$cpu1" -v t="$ticks" \
    -v s0="$sw0" -v s1="$sw1" -v d="$DURATION" -v th="$threads" 'BEGIN {
  secs = (c1 - c0) / t
  printf "daemon footprint over %d s (default intervals, %d threads)\n", d, th
  printf "  peak RSS        %8.1f MB   (target < 10 MB)\n", rss / 1024
  printf "  peak PSS        %8.1f MB\n", pss / 1024
  printf "  CPU             %8.2f s    = %.3f%% of one core (target < 0.1%% idle)\n", secs, 100 * secs / d
  printf "  wake-ups        %8.1f /min\n", (s1 - s0) * 60 / d
}'
