#!/usr/bin/env bash
# Builds everything and runs every test: the POSIX suite and, when its tools
# are installed, the Windows stage (cross build, tests under Wine). The two
# run side by side, since each leaves the processor idle part of the time
# (linking, starting Wine); the Windows stage's output follows the POSIX one.
set -uo pipefail
cd "$(dirname "$0")/.."
# What some cases need beyond the compiler, CMake and GoogleTest; without it
# they are skipped, each saying why.
missing=()
for package in g++-mingw-w64-x86-64-posix wine64 acl locales e2fsprogs; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ] && command -v dpkg >/dev/null 2>&1; then
  echo "== some cases will be skipped; for all of them: apt-get install -y ${missing[*]}"
fi
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
windows_log="$(mktemp)"
trap 'rm -f "$windows_log"' EXIT
bash tools/windows-stage.sh > "$windows_log" 2>&1 &
windows=$!
cmake --workflow --preset debug
posix=$?
wait "$windows"
windows_status=$?
echo "== Windows stage"
cat "$windows_log"
[ "$posix" -eq 0 ] && [ "$windows_status" -eq 0 ]
