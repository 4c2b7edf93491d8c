#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each from its seed corpus for
# FUZZ_SECONDS (60 by default). New inputs go to a corpus in the build
# folder, never into the repository; a finding is kept beside it, with the
# log, and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset fuzz >/dev/null
# The decrypt target writes a file for every input: keep that in memory.
if [ -d /dev/shm ]; then export TMPDIR=/dev/shm; fi
for target in passphrase_scanner container command_line; do
  run="$PWD/build/fuzz/runs/$target" && mkdir -p "$run/corpus"
  # The tool prints to standard output; libFuzzer reports on standard error.
  # The targets own the timer signal, so libFuzzer cannot time single
  # inputs: a run that hangs is ended from outside and counts as a finding.
  timeout "$((${FUZZ_SECONDS:-60} + 60))" "build/fuzz/tests/fuzz/${target}_fuzzer" -rss_limit_mb=2048 \
    -max_total_time="${FUZZ_SECONDS:-60}" -artifact_prefix="$run/" "$run/corpus" "tests/fuzz/$target" \
    >/dev/null 2>"$run/log" && echo "fuzz $target: no finding in ${FUZZ_SECONDS:-60} s" && continue
  echo "fuzz $target: FINDING" && tail -n 40 "$run/log" && failed=1
done
exit "${failed:-0}"
