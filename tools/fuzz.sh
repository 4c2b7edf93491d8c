#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each from its seed corpus for
# FUZZ_SECONDS (60 by default). New inputs go to a corpus in the build
# folder, never into the repository; a finding is kept under
# build/fuzz/findings and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"
cmake --workflow --preset fuzz >/dev/null
# The decrypt target writes a file for every input: keep that in memory.
if [ -d /dev/shm ]; then export TMPDIR=/dev/shm; fi
failed=0
for target in passphrase_scanner container command_line; do
  found="build/fuzz/findings/$target" && mkdir -p "$found" "build/fuzz/corpus/$target"
  # The tool prints to standard output; libFuzzer reports on standard error.
  # The targets own the timer signal, so libFuzzer cannot time single
  # inputs: a run that hangs is ended from outside and counts as a finding.
  timeout "$((seconds + 60))" "build/fuzz/tests/fuzz/${target}_fuzzer" -max_total_time="$seconds" \
    -rss_limit_mb=2048 -artifact_prefix="$found/" "build/fuzz/corpus/$target" "tests/fuzz/$target" \
    >/dev/null 2>"$found/log" && echo "fuzz $target: no finding in ${seconds} s" && continue
  echo "fuzz $target: FINDING" && tail -n 40 "$found/log" && failed=1
done
exit "$failed"
