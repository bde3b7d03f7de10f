#!/usr/bin/env bash
# Builds the fuzz targets (tests/fuzz) with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, runs each for a bounded time from its seed corpus, then
# its regression inputs, and prints how many inputs each ran. Without clang it says so
# and does nothing else (the regression inputs run in every build through ctest).
#   FUZZ_SECONDS=60        time per target
#   FUZZ_BUILD_DIR=...     build folder (default: build-fuzz)
#   FUZZ_TARGETS="a b"     the targets to run (default: all four)
# A finding stops the script with the target's output; its input is written to
# FUZZ_BUILD_DIR/findings/, to be added to tests/fuzz/regressions/TARGET once mended.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ not found; the fuzz targets are not built"
  exit 0
fi
build=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"wav_walk flac_image encode writeback"}
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLYREBOX_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_corpora $(for t in $targets; do echo "fuzz_$t"; done) >/dev/null

corpus_of() { case "$1" in flac_image) echo flac ;; writeback) echo writeback ;; *) echo wav ;; esac; }
mkdir -p "$build/findings"
for t in $targets; do
  work="$build/tests/fuzz/corpus/$t"
  mkdir -p "$work"
  cp -n "$build/tests/fuzz/seeds/$(corpus_of "$t")"/* "$work"/
  log="$build/tests/fuzz/$t.log"
  # The process runs alone: no leak check at exit of inputs that hold static fixtures.
  if ! "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -dict=tests/fuzz/flac.dict -artifact_prefix="$build/findings/$t-" "$work" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz.sh: $t found a fault; the input is in $build/findings/" >&2
    exit 1
  fi
  runs=$(grep -o 'Done [0-9]* runs' "$log" | tail -1 | grep -o '[0-9]*')
  regressions=(tests/fuzz/regressions/"$t"/*)
  if [ -e "${regressions[0]}" ]; then
    "$build/tests/fuzz/fuzz_$t" "${regressions[@]}" >"$log.regressions" 2>&1 || {
      tail -n 60 "$log.regressions"; exit 1; }
  fi
  echo "fuzz_$t: ${runs:-0} runs in ${seconds} s without a finding; regressions passed"
done
