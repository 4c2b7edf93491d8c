#!/usr/bin/env bash
# Checks the manual page: mandoc has nothing to say about it, and the
# messages it lists under DIAGNOSTICS are exactly the ones the tool prints,
# byte for byte, none missing and none extra.
set -euo pipefail
cd "$(dirname "$0")/.."
manual=doc/tandrel.1
export LC_ALL=C.UTF-8

# -T lint reports style, warnings and errors alike, and exits non-zero on any.
mandoc -T lint "$manual"

# Rendered as a reader sees them, with the placeholders turned back into the
# printf conversions and the quotes into the escapes of the C literals.
documented="$(mandoc -T utf8 "$manual" | col -b |
  sed -n '/^DIAGNOSTICS$/,/^[A-Z]/p' |
  sed -n 's/^ *\(ERROR: .*\|The config file .*\)$/\1/p' |
  sed -e 's/"\(file\|project\)"/"%s"/g' -e 's/"/\\"/g' | sort)"
printed="$(grep -rhoE --include='*.cpp' --include='*.h' \
  '\\n(ERROR: |The config file )([^"\\]|\\")*' src | sed 's/^\\n//' | sort -u)"
if ! diff <(echo "$documented") <(echo "$printed") >/dev/null; then
  echo "doc/tandrel.1 and the messages in src/ differ (< manual page, > sources):"
  diff <(echo "$documented") <(echo "$printed") || true
  exit 1
fi
echo "manual page: mandoc -T lint clean, $(echo "$printed" | wc -l) messages match the sources"
