#!/usr/bin/env bash
# Builds everything and runs every test: the POSIX suite, then the Windows
# stage (cross build, tests under Wine) when its tools are installed.
set -euo pipefail
cd "$(dirname "$0")/.."
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
cmake --workflow --preset debug
bash tools/windows-stage.sh
