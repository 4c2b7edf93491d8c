#!/usr/bin/env bash
# Builds the tool and shows its main job on the example passphrase file,
# in a scratch folder, without touching the user's own settings.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
cmake -S "$root" -B "$root/build/demo" -DCMAKE_BUILD_TYPE=Release -DTANDREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build/demo" --target tandrel -j 2 >/dev/null
tool="$root/build/demo/src/tandrel"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export XDG_CONFIG_HOME="$scratch/config"
setting="$XDG_CONFIG_HOME/Pellmark Software/Tandrel/1.00"
mkdir -p "$setting"
echo "$here/passphrases.txt" > "$setting/ConfigFile"

echo "\$ tandrel -config"
"$tool" -config
echo
cp "$here/letter.txt" "$scratch/letter.txt"
cd "$scratch"
echo "\$ tandrel -encrypt letter.tdl letter.txt Web"
"$tool" -encrypt letter.tdl letter.txt Web && echo "(status $?)"
mkdir restored && cd restored
echo "\$ cd restored && tandrel -decrypt ../letter.tdl"
"$tool" -decrypt ../letter.tdl && echo "(status $?)"
echo "\$ cmp ../letter.txt letter.txt"
cmp ../letter.txt letter.txt && echo "restored byte for byte"
