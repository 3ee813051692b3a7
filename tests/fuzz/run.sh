#!/usr/bin/env bash
# Runs the fuzz targets of a build configured with -DVELA_BUILD_FUZZ=ON.
# Usage: tests/fuzz/run.sh BUILD_DIR [SECONDS [TARGET...]]
#   Without SECONDS every target runs for a bounded number of inputs (VELA_FUZZ_RUNS,
#   default 150000, each capped at VELA_FUZZ_CAP seconds, default 14): the test command's
#   run, all targets together within three minutes. New inputs go to a scratch folder.
#   With SECONDS each target runs that long and keeps what it finds in
#   BUILD_DIR/fuzz-corpus/<target>, so longer runs build on earlier ones;
#   VELA_FUZZ_JOBS targets run side by side (default 1).
# TARGET names are the part before _fuzz (default: every target). Seeds come from
# corpus/<target>/ and a dictionary from <target>.dict. Crashing inputs are kept in
# BUILD_DIR/fuzz-artifacts. Prints runs and seconds per target; non-zero on a crash.
set -uo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR [SECONDS [TARGET...]]}" && pwd)
seconds=${2:-}
shift $(( $# < 2 ? $# : 2 ))
here=$(cd "$(dirname "$0")" && pwd)
runs=${VELA_FUZZ_RUNS:-150000}
cap=${VELA_FUZZ_CAP:-14}
jobs=${VELA_FUZZ_JOBS:-1}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$here"/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"

run_one() {  # run_one TARGET; writes $work/TARGET.log and $work/TARGET.status
  local target=$1 exe="$build/tests/fuzz/${1}_fuzz" corpus limits=()
  if [ ! -x "$exe" ]; then
    echo "fuzz: $exe not built" >"$work/$target.log"
    echo 1 >"$work/$target.status"
    return
  fi
  if [ -n "$seconds" ]; then
    corpus="$build/fuzz-corpus/$target"
    limits=(-max_total_time="$seconds")
  else
    corpus="$work/corpus-$target"
    limits=(-runs="$runs" -max_total_time="$cap")
  fi
  mkdir -p "$corpus"
  local dict=()
  [ -f "$here/$target.dict" ] && dict=(-dict="$here/$target.dict")
  "$exe" "${limits[@]}" -max_len=8192 -timeout=10 "${dict[@]}" -artifact_prefix="$artifacts/$target-" \
    -print_final_stats=1 "$corpus" "$here/corpus/$target" >"$work/$target.log" 2>&1
  echo $? >"$work/$target.status"
}

report() {  # report TARGET: one summary line, the log's tail on failure
  local target=$1 status executed elapsed
  status=$(cat "$work/$target.status")
  executed=$(grep -o '^stat::number_of_executed_units: *[0-9]*' "$work/$target.log" | grep -o '[0-9]*$')
  elapsed=$(grep -o '^Done [0-9]* runs in [0-9]* second' "$work/$target.log" | grep -o 'in [0-9]*' | grep -o '[0-9]*')
  if [ "$status" = 0 ]; then
    printf 'fuzz: %-22s %10s runs %5ss  0 crashes\n' "$target" "${executed:-?}" "${elapsed:-?}"
  else
    printf 'fuzz: %-22s FAILED after %s runs\n' "$target" "${executed:-?}"
    tail -n 60 "$work/$target.log"
    return 1
  fi
}

status=0
running=0
for target in "${targets[@]}"; do
  run_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait
for target in "${targets[@]}"; do
  report "$target" || status=1
done
exit $status
