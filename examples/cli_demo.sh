#!/usr/bin/env bash
# The producer/validator walk-through with the command-line tool, on the
# sample files in examples/data/. Usage: examples/cli_demo.sh [PATH/TO/quorvane]
# (default: quorvane on PATH). Exits non-zero if any step does not behave.
# Results are captured into variables before they are printed, so that a
# failing command stops the demo under `set -e`.
set -euo pipefail
qv=${1:-quorvane}
data=$(cd "$(dirname "$0")/data" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

say() { printf '[%s] %s\n' "$1" "$2"; }
die() { printf 'cli_demo: %s\n' "$*" >&2; exit 1; }
bytes() { wc -c <"$1" | tr -d ' '; }

version=$("$qv" --version) || die "cannot run $qv"
say version "$version"

# Producer: a padded wrapper, so its length depends only on the store's.
"$qv" embed --padded --manifest "$data/manifest_store.bin" "$data/sample.txt" -o "$work/signed.txt"
store=$(bytes "$data/manifest_store.bin")
say embed "$(bytes "$data/sample.txt") bytes of multilingual text + a $store-byte manifest store -> $(bytes "$work/signed.txt") bytes (wrapper: $((4 * store + 61)) bytes, invisible)"

"$qv" hash "$work/signed.txt" -o "$work/binding.json"
say bind "$(cat "$work/binding.json")"

# Validator: find the wrapper, read the store back, verify the binding.
located=$("$qv" locate "$work/signed.txt")
say locate "$located"
"$qv" extract "$work/signed.txt" -o "$work/store.bin"
cmp -s "$work/store.bin" "$data/manifest_store.bin" || die "the extracted store differs"
meta=$("$qv" extract --json "$work/signed.txt")
say extract "$meta"
verified=$("$qv" verify --strict-padding --binding "$work/binding.json" "$work/signed.txt")
say verify "$verified"

# A one-letter edit of the visible text is caught with its status code.
sed 's/words/wards/' "$work/signed.txt" >"$work/edited.txt"
if "$qv" verify --binding "$work/binding.json" "$work/edited.txt" 2>"$work/err"; then
  die "an edited text verified"
else
  status=$?
fi
[[ $status -eq 1 ]] || die "the edit gave exit status $status, not 1"
say tamper "\"words\" -> \"wards\": exit $status, $(cat "$work/err")"

# Stripping the wrapper gives back the original text, byte for byte.
"$qv" strip "$work/signed.txt" -o "$work/plain.txt"
cmp -s "$work/plain.txt" "$data/sample.txt" || die "the stripped text differs from the original"
say strip "wrapper removed: $(bytes "$work/plain.txt") bytes, identical to examples/data/sample.txt"
