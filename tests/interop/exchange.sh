#!/usr/bin/env bash
# Files encrypted by the Windows build decrypt with the POSIX build and the
# other way round, byte for byte; and both builds print the same messages,
# the Windows one with each line feed as CR LF.
#   exchange.sh EMULATOR WINDOWS_TOOL POSIX_TOOL
# EMULATOR runs Windows programs (cmake/wine-run.sh, with WINEPREFIX set).
set -euo pipefail
emulator=$1
windows_tool=$2
posix_tool=$3
if [ ! -x "$posix_tool" ]; then
  echo "skipped: no POSIX tool at $posix_tool (build the debug preset first)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tandrel-exchange.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir plain by-windows by-posix restored-by-windows restored-by-posix printing

# One passphrase file for both builds: the POSIX setting is a small file,
# the Windows one the registry value.
printf '"Exchange" "both builds agree"\n' > passphrases.txt
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME/Pellmark Software/Tandrel/1.00"
echo "$work/passphrases.txt" > "$XDG_CONFIG_HOME/Pellmark Software/Tandrel/1.00/ConfigFile"
windows_path=$("$emulator" winepath -w "$work/passphrases.txt" | tr -d '\r')
"$emulator" reg add 'HKCU\SOFTWARE\Pellmark Software\Tandrel\1.00' /v ConfigFile /t REG_SZ \
  /d "$windows_path" /f >/dev/null

windows() { "$emulator" "$windows_tool" "$@"; }
posix() { "$posix_tool" "$@"; }

# Runs a tool in a folder; it must succeed and print nothing.
quietly() {
  local folder=$1 tool=$2
  shift 2
  local printed
  if ! printed=$(cd "$folder" && "$tool" "$@"); then
    echo "FAILED: $tool $* (in $folder) ended with an error: $printed"
    exit 1
  fi
  if [ -n "$printed" ]; then
    echo "FAILED: $tool $* (in $folder) printed: $printed"
    exit 1
  fi
}

failures=0
for length in 1 4 5 8 9 4096 4097 100000; do
  name="sample-$length.bin"
  head -c "$length" /dev/urandom > "plain/$name"
  quietly by-windows windows -encrypt "$name.tdl" "../plain/$name" Exchange
  quietly by-posix posix -encrypt "$name.tdl" "../plain/$name" exchange
  quietly restored-by-posix posix -decrypt "../by-windows/$name.tdl"
  quietly restored-by-windows windows -decrypt "../by-posix/$name.tdl"
  for restored in restored-by-posix restored-by-windows; do
    if ! cmp -s "plain/$name" "$restored/$name"; then
      echo "FAILED: $restored/$name differs from the original"
      failures=$((failures + 1))
    fi
  done
done

# Standard output is in text mode on Windows, so every line feed the POSIX
# build prints arrives there as CR LF; the exit status is the same.
printed_alike() {
  local posix_status=0 windows_status=0
  (cd printing && posix "$@") > printed-by-posix || posix_status=$?
  (cd printing && windows "$@") > printed-by-windows || windows_status=$?
  if ! sed -z 's/\n/\r\n/g' printed-by-posix | cmp -s - printed-by-windows ||
     [ "$posix_status" -ne "$windows_status" ]; then
    echo "FAILED: tandrel $* prints or ends differently on Windows:"
    od -c printed-by-posix | head -5
    od -c printed-by-windows | head -5
    failures=$((failures + 1))
  fi
}
printed_alike
printed_alike -decrypt missing.tdl
printed_alike -encrypt out.tdl ../plain/sample-1.bin Unknown

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "exchanged 8 files each way, byte for byte; both print the same messages"
