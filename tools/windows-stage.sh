#!/usr/bin/env bash
# The Windows stage: cross-builds tandrel.exe and its tests with MinGW-w64 and
# runs them under Wine; both builds read the same case files and the same
# golden encrypted file. Skips, saying why, when the cross compiler or Wine is
# not installed.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/windows-tools.sh
if missing="$(windows_tools_missing)"; then
  echo "Windows stage skipped: $missing"
  exit 0
fi

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
cmake --workflow --preset windows
