#!/bin/bash
# Tests of build/bin/kestrel-pack from a Linux shell: relative paths with blanks and non-ASCII letters, the
# --launcher forms, and the packer's exit codes passed through.
# Usage: kestrel-pack-wrapper-test.sh <bin directory> <test package>
set -u
bin=$1
package=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

check() { # check <description> <command>...: passes when the command succeeds
  local description=$1
  shift
  if "$@"; then
    echo "ok: $description"
  else
    echo "FAILED: $description"
    failures=$((failures + 1))
  fi
}

# pack <wanted exit code> <argument>...: runs the wrapper, keeps its output in $output
pack() {
  local wanted=$1
  shift
  output=$("$bin/kestrel-pack" "$@" 2>&1)
  local status=$?
  [ "$status" = "$wanted" ] || { echo "exit code $status, wanted $wanted; output: $output"; return 1; }
}

dir="$scratch/dir with blank ü"
mkdir -p "$dir/out/a" "$dir/out/b"
cp "$package" "$dir/pkg ü.msi"
echo "not a package" >"$dir/notes.msi"
cd "$dir"

check "relative paths with a blank and a non-ASCII letter" pack 0 "pkg ü.msi" out/setup.exe
check "the setup is written there" test -s out/setup.exe
check "the packer names it as a Windows path" grep -q 'Wrote .*dir with blank ü\\out\\setup\.exe ' <<<"$output"
check "--launcher=<file> and --" pack 0 --launcher="$bin/kestrel-launcher.exe" -- "pkg ü.msi" out/a/setup.exe
check "--launcher <relative file>" pack 0 --launcher "$(realpath --relative-to=. "$bin/kestrel-launcher.exe")" \
  "pkg ü.msi" out/b/setup.exe
check "same inputs, same setup" cmp -s out/a/setup.exe out/b/setup.exe
check "--version passes through" pack 0 --version
check "wrong usage exits with 2" pack 2 "pkg ü.msi"
check "a refused package exits with 1" pack 1 notes.msi out/refused.exe
check "and leaves no output" test ! -e out/refused.exe

(( failures == 0 ))
