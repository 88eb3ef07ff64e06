#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer, clang)
# and runs each for SECONDS (default 60) from its seed corpus fuzz/corpus/<target>/.
# The inputs a run adds go to build/fuzz/corpus/<target>/, made afresh each run, so the checkout
# stays clean. An input that breaks a target is kept in build/fuzz/findings/<target>/: copy it
# into fuzz/corpus/<target>/ as a regression case once the fault is mended. Each target's log is
# build/fuzz/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/setup.sh clang-14 libclang-rt-14-dev

cmake --preset fuzz -DMOVARTH_WERROR=ON >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  grown=build/fuzz/corpus/$target
  findings=build/fuzz/findings/$target
  log=build/fuzz/$target.log
  rm -rf "$grown"
  mkdir -p "$grown" "$findings"
  echo "=== fuzz: $target for ${seconds} s"
  if ! "build/fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$grown" "$seeds" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: $target found a fault; the input is in $findings/, the log in $log" >&2
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$log"
done
