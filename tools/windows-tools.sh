# Sourced by the scripts that have a Windows part: the cross compiler and
# Wine are optional on a developer's machine, and their absence is a reason
# to skip that part, not a failure.

# Prints what is missing and succeeds when the Windows part cannot run.
windows_tools_missing() {
  local compiler=x86_64-w64-mingw32-g++-posix
  local wine="${TANDREL_WINE:-/usr/lib/wine/wine64}"
  if ! command -v "$compiler" >/dev/null 2>&1; then
    echo "$compiler not found (Debian: apt-get install g++-mingw-w64-x86-64-posix)"
  elif [ ! -x "$wine" ]; then
    echo "$wine not found (Debian: apt-get install wine64)"
  else
    return 1
  fi
}
