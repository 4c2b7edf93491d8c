#!/usr/bin/env bash
# The Windows stage: cross-builds tandrel.exe and its tests with MinGW-w64 and
# runs them under Wine, then checks that files made by the Windows build and
# by the POSIX build open with the other. Skips, saying why, when the cross
# compiler or Wine is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/windows-tools.sh
if missing="$(windows_tools_missing)"; then
  echo "Windows stage skipped: $missing"
  exit 0
fi

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
# The exchange test needs the POSIX tool beside the Windows one.
if [ ! -x build/debug/src/tandrel ]; then
  cmake --preset debug >/dev/null
  cmake --build --preset debug --target tandrel
fi
cmake --workflow --preset windows
