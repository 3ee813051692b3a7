#!/usr/bin/env bash
# Runs every fuzz target for a bounded number of inputs from its seed corpus.
# Usage: tests/fuzz/run.sh BUILD_DIR   (a build configured with -DVELA_BUILD_FUZZ=ON)
# The corpus is copied to a temporary directory so the checkout stays untouched;
# crashing inputs are kept in BUILD_DIR/fuzz-artifacts. Exits non-zero on a crash.
set -euo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
runs=${VELA_FUZZ_RUNS:-200000}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"

# Each target and the corpus folder it starts from.
declare -A corpus=([json_scanner]=json [input_event]=input)

status=0
for target in json_scanner input_event; do
  exe="$build/tests/fuzz/${target}_fuzz"
  if [ ! -x "$exe" ]; then
    echo "fuzz: $exe not built" >&2
    exit 1
  fi
  mkdir -p "$work/$target"
  cp "$here/corpus/${corpus[$target]}/"* "$work/$target/"
  dict=()
  [ -f "$here/$target.dict" ] && dict=(-dict="$here/$target.dict")
  echo "fuzz: $target for $runs runs"
  if ! "$exe" -runs="$runs" -max_len=8192 "${dict[@]}" -artifact_prefix="$artifacts/$target-" \
      -print_final_stats=1 "$work/$target" 2>"$work/$target.log"; then
    tail -n 60 "$work/$target.log" >&2
    status=1
  else
    grep -E "^stat::number_of_executed_units|^Done" "$work/$target.log" || true
  fi
done
exit $status
