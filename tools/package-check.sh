#!/usr/bin/env bash
# Builds the two packages as a user gets them and proves each works once
# unpacked: the Debian package must pass lintian with no errors, and the tool
# in it, and the tandrel.exe in the Windows zip (under Wine, in a throwaway
# prefix), each go through an encrypt/decrypt round trip in a scratch folder
# with a scratch setting; the Windows tool prints the Debian tool's banner
# with CR LF line ends. The Windows part is skipped, saying why, when the
# cross compiler or Wine is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
wine_run="$root/cmake/wine-run.sh"

scratch="$(mktemp -d)"
cleanup() {
  if [ -d "$scratch/wineprefix" ]; then
    WINEPREFIX="$scratch/wineprefix" "$wine_run" --stop-prefix
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
cp examples/passphrases.txt "$scratch/passphrases.txt"

fail() { echo "package check: $*"; exit 1; }

# The single file a build left matching a pattern.
only_file() {
  local matches=("$@")
  [ "${#matches[@]}" -eq 1 ] && [ -f "${matches[0]}" ] || fail "expected one file, found: ${matches[*]}"
  echo "${matches[0]}"
}

# round_trip NAME COMMAND...: COMMAND runs the unpacked tool, already pointed
# at the scratch passphrase file.
round_trip() {
  local name="$1"
  local work="$scratch/$name"
  shift
  mkdir -p "$work/restored"
  cp examples/letter.txt "$work/letter.txt"
  local status=0
  (cd "$work" && "$@") >"$scratch/$name.banner" || status=$?
  [ "$status" -eq 1 ] || fail "usage banner ended with status $status, not 1"
  (cd "$work" && "$@" -config) | grep -q 'Project: "Web"' || fail "-config does not list the project"
  (cd "$work" && "$@" -encrypt letter.tdl letter.txt Web) || fail "-encrypt failed"
  (cd "$work/restored" && "$@" -decrypt ../letter.tdl) || fail "-decrypt failed"
  cmp "$work/letter.txt" "$work/restored/letter.txt"
  (cd "$work/restored" && "$@" -decrypt ../letter.txt) || fail "plain file not passed through"
  cmp "$work/letter.txt" "$work/restored/script.znc"
  echo "round trip passed: $name"
}

echo "== Debian package"
cmake --workflow --preset deb
deb="$(only_file build/deb/tandrel_*.deb)"
lintian -I "$deb" || fail "lintian reports errors"
echo "lintian: no errors"
dpkg-deb -x "$deb" "$scratch/deb"
for file in usr/bin/tandrel usr/share/man/man1/tandrel.1.gz \
            usr/share/doc/tandrel/README.md usr/share/doc/tandrel/copyright \
            usr/share/doc/tandrel/changelog.gz; do
  [ -f "$scratch/deb/$file" ] || fail "$file is missing from $deb"
done
gzip -dc "$scratch/deb/usr/share/man/man1/tandrel.1.gz" | cmp - doc/tandrel.1
export XDG_CONFIG_HOME="$scratch/config"
mkdir -p "$XDG_CONFIG_HOME/Pellmark Software/Tandrel/1.00"
echo "$scratch/passphrases.txt" > "$XDG_CONFIG_HOME/Pellmark Software/Tandrel/1.00/ConfigFile"
round_trip deb "$scratch/deb/usr/bin/tandrel"

echo "== Windows zip"
source tools/windows-tools.sh
if missing="$(windows_tools_missing)"; then
  echo "Windows zip skipped: $missing"
  exit 0
fi
cmake --workflow --preset windows-zip
zip="$(only_file build/windows-zip/tandrel-*-win64.zip)"
mkdir "$scratch/zip"
unzip -q "$zip" -d "$scratch/zip"
folder="$(only_file "$scratch"/zip/tandrel-*-win64/tandrel.exe)"
folder="$(dirname "$folder")"
for file in README.md tandrel.html; do
  [ -f "$folder/$file" ] || fail "$file is missing from $zip"
done
# Nothing but the executable is needed: Wine has no C++ runtime of MinGW's,
# so a tandrel.exe that wanted one would not start.
export WINEPREFIX="$scratch/wineprefix"
"$wine_run" --create-prefix
windows_path="Z:${scratch//\//\\}\\passphrases.txt"
"$wine_run" reg add 'HKCU\SOFTWARE\Pellmark Software\Tandrel\1.00' \
  /v ConfigFile /t REG_SZ /d "$windows_path" /f >/dev/null
round_trip windows "$wine_run" "$folder/tandrel.exe"
# Standard output is in text mode on Windows: the banner is the Debian
# tool's, byte for byte, with each line feed as CR LF.
sed -z 's/\n/\r\n/g' "$scratch/deb.banner" | cmp - "$scratch/windows.banner" ||
  fail "the Windows banner is not the Debian one with CR LF line ends"
echo "banner: the Windows tool prints the Debian tool's with CR LF"
