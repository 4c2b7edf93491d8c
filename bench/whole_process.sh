#!/usr/bin/env bash
# Whole-process speed of tandrel next to `openssl enc -bf-cbc`, measured turn
# by turn in one run so that the ratios hold while the machine's speed drifts.
# Run by hand (CI does not): bash bench/whole_process.sh [runs]
#
# Needs a release build (cmake --workflow --preset release), openssl with its
# legacy provider, and /usr/bin/time (Debian: time); valgrind for the heap
# peak; gpg, age, sha256sum are timed for context where installed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tool="${TANDREL:-$root/build/release/src/tandrel}"
runs="${1:-5}"
[ -x "$tool" ] || { echo "build the tool first: cmake --workflow --preset release"; exit 1; }
tool="$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")"  # the script works in a scratch folder

scratch="$(mktemp -d "${TMPDIR:-/tmp}/tandrel-bench.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
export XDG_CONFIG_HOME="$scratch/config"
mkdir -p "$XDG_CONFIG_HOME/Pellmark Software/Tandrel/1.00" small restored ossl
echo "$scratch/passphrases.txt" > "$XDG_CONFIG_HOME/Pellmark Software/Tandrel/1.00/ConfigFile"
echo '"Bench" "correct horse battery staple"' > passphrases.txt
# The peer takes the key as given; Blowfish's speed does not depend on the
# key's length, and `openssl enc` uses at most 16 bytes of it.
openssl_bf=(openssl enc -bf-cbc -provider legacy -provider default
            -K 000102030405060708090a0b0c0d0e0f -iv 0000000000000000)

echo "== making the files"
head -c $((512 << 20)) /dev/urandom > large.bin
head -c $((256 << 20)) /dev/urandom > medium.bin
for i in $(seq -w 1 1000); do head -c 1024 /dev/urandom > "small/f$i.bin"; done
"$tool" -encrypt large.tdl large.bin Bench
"$tool" -encrypt medium.tdl medium.bin Bench
"${openssl_bf[@]}" -in large.bin -out large.ossl
for f in small/*.bin; do "$tool" -encrypt "$f.tdl" "$f" Bench; "${openssl_bf[@]}" -in "$f" -out "$f.ossl"; done
cat large.* medium.* small/* > /dev/null  # warm the cache

# Seconds a command takes, as a whole process.
seconds() {
    local start=$EPOCHREALTIME
    "$@" > /dev/null
    awk -v end="$EPOCHREALTIME" -v start="$start" 'BEGIN { print end - start }'
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# compare LABEL 'our command' 'peer command': runs them in turn, prints both
# medians and their ratio (ours / peer; below 1 is faster).
compare() {
    local label=$1 ours=$2 peer=$3 a=() b=()
    bash -c "$ours" > /dev/null; bash -c "$peer" > /dev/null  # a warm-up of each
    # Each timed run starts with nothing waiting to be written: the peer
    # leaves its output to the page cache, and our fsync would otherwise wait
    # for that too.
    for _ in $(seq "$runs"); do
        sync; a+=("$(seconds bash -c "$ours")")
        sync; b+=("$(seconds bash -c "$peer")")
    done
    local ma mb
    ma=$(printf '%s\n' "${a[@]}" | median)
    mb=$(printf '%s\n' "${b[@]}" | median)
    printf '%-34s tandrel %8.3f s   openssl %8.3f s   ratio %.2f\n' "$label" "$ma" "$mb" \
        "$(awk -v a="$ma" -v b="$mb" 'BEGIN { print a / b }')"
}

q() { printf '%q ' "$@"; }
T=$(q "$tool")
O=$(q "${openssl_bf[@]}")
echo "== medians of $runs runs each, taken in turn"
compare "encrypt 512 MiB" "$T -encrypt out.tdl large.bin Bench" "$O -in large.bin -out out.ossl"
compare "decrypt 512 MiB" "cd restored && $T -decrypt ../large.tdl" "$O -d -in large.ossl -out ossl/large.bin"
compare "encrypt 1000 files of 1 KiB" \
    "for f in small/*.bin; do $T -encrypt \$f.out \$f Bench; done" \
    "for f in small/*.bin; do $O -in \$f -out \$f.out; done"
compare "decrypt 1000 files of 1 KiB" \
    "cd restored && for f in ../small/*.tdl; do $T -decrypt \$f; done" \
    "for f in small/*.ossl; do $O -d -in \$f -out \${f%.ossl}.back; done"

echo "== peak resident memory (kB)"
peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
echo "encrypt 512 MiB: tandrel $(peak "$tool" -encrypt out.tdl large.bin Bench)   openssl $(peak "${openssl_bf[@]}" -in large.bin -out out.ossl)"
echo "encrypt 256 MiB: tandrel $(peak "$tool" -encrypt out.tdl medium.bin Bench)   (independent of the size beyond the mapped files)"
echo "decrypt 512 MiB: tandrel $(cd restored && peak "$tool" -decrypt ../large.tdl)   openssl $(peak "${openssl_bf[@]}" -d -in large.ossl -out ossl/large.bin)"

if command -v valgrind > /dev/null; then
    (cd restored && valgrind --tool=massif --massif-out-file="$scratch/massif.out" "$tool" -decrypt ../medium.tdl > /dev/null 2>&1)
    heap=$(grep -o 'mem_heap_B=[0-9]*' massif.out | cut -d= -f2 | sort -n | tail -1)
    echo "== heap peak of a 256 MiB decrypt: $heap bytes"
fi

echo "== for context (medians of $runs runs, seconds)"
context() {
    local label=$1; shift
    local t=()
    for _ in $(seq "$runs"); do t+=("$(seconds bash -c "$*")"); done
    printf '%-34s %8.3f s\n' "$label" "$(printf '%s\n' "${t[@]}" | median)"
}
context "sha256sum 512 MiB" "sha256sum large.bin"
context "openssl dgst -sha256 512 MiB" "openssl dgst -sha256 large.bin"
if command -v gpg > /dev/null; then
    export GNUPGHOME="$scratch/gnupg"; mkdir -p -m 700 "$GNUPGHOME"
    context "gpg --symmetric BLOWFISH 512 MiB" \
        "gpg --batch --yes --pinentry-mode loopback --passphrase x --symmetric --cipher-algo BLOWFISH --compress-algo none -o out.gpg large.bin"
fi
if command -v age > /dev/null && command -v age-keygen > /dev/null; then
    age-keygen -o key.txt 2> /dev/null
    context "age 512 MiB" "age -e -r $(age-keygen -y key.txt) -o out.age large.bin"
fi
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); $(date -u +%Y-%m-%d)"
