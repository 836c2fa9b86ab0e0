#!/bin/bash
# Cross-checks of the native packer (build/bin/kestrel-pack) against kestrel-pack.exe under Wine: the same bytes
# for the same inputs and file name, the same usage, messages, exit codes and report lines, and its setup
# installs and removes the product. Paths are relative, with a blank and a non-ASCII letter.
# Usage: native-packer-test.sh <bin directory> <packtest package> <sample package> <package with an executable icon>
set -u
bin=$1
packtest=$2
sample=$3
iconic=$4
run="$bin/../wine/run"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# shellcheck source=tests/tools/checks.sh
source "$(dirname "$0")/checks.sh"

dir="$scratch/dir with blank ü"
native="$dir/native"
windows="$dir/windows"
mkdir -p "$native" "$windows" "$dir/lonely/bin"
cp "$packtest" "$dir/pkg ü.msi"
cp "$sample" "$dir/sample.msi"
cp "$iconic" "$dir/iconic.msi"
echo "not a package" >"$dir/notes.msi"
cp "$bin/kestrel-pack" "$bin/kestrel-pack.exe" "$dir/lonely/bin/"
windows_dir=$("$run" winepath -w "$dir" | tr -d '\r')

# both <packers> <argument>...: runs the native packer in $native and kestrel-pack.exe in $windows with the same
# arguments; <packers> is "build" or "lonely" (copies without a launcher). Keeps the exit code, standard output
# and standard error of each in $dir/native.* and $dir/windows.*, the Windows ones with Linux paths, $windows
# read as $native, and Linux line ends.
both() {
  local from="$bin"
  [ "$1" = lonely ] && from="$dir/lonely/bin"
  shift
  (cd "$native" && "$from/kestrel-pack" "$@" >"$dir/native.out" 2>"$dir/native.err"; echo $? >"$dir/native.code")
  (cd "$windows" && "$run" "$from/kestrel-pack.exe" "$@" >"$dir/windows.out" 2>"$dir/windows.err"
   echo $? >"$dir/windows.code")
  for stream in out err; do
    tr -d '\r' <"$dir/windows.$stream" | WINDOWS_DIR=$windows_dir DIR=$dir perl -pe '
      s/\Q$ENV{WINDOWS_DIR}\E([^\x27]*)/my $rest = $1; $rest =~ tr{\\}{\/}; "$ENV{DIR}$rest"/ge;
      s/\Q$ENV{DIR}\E\/windows/$ENV{DIR}\/native/g' >"$dir/windows.$stream.linux"
  done
}
same() { # same: both packers answered alike
  cd "$dir" || return 1
  cmp -s native.code windows.code && cmp -s native.out windows.out.linux && cmp -s native.err windows.err.linux && return
  diff native.out windows.out.linux
  diff native.err windows.err.linux
  echo "exit codes $(cat native.code) and $(cat windows.code)"
  return 1
}
codes() { cat "$dir/native.code" "$dir/windows.code" | tr -d '\n'; }

both build "../pkg ü.msi" setup.exe
check "both pack relative paths with a blank and a non-ASCII letter" test "$(codes)" = 00
check "and write the same bytes" cmp "$native/setup.exe" "$windows/setup.exe"
check "and report the same two lines" same
check "with the native path in the report" grep -qF "Wrote $native/setup.exe with a package of " "$dir/native.out"
both build --launcher="$bin/kestrel-launcher.exe" -- ../sample.msi sample-setup.exe
check "another product with --launcher=<file> and --: the same bytes" \
  cmp "$native/sample-setup.exe" "$windows/sample-setup.exe"
both build --launcher "$(realpath --relative-to="$native" "$bin/kestrel-launcher.exe")" ../sample.msi relative.exe
check "--launcher <relative file>: the same bytes" cmp "$native/relative.exe" "$windows/relative.exe"

both build ../iconic.msi iconic.exe
check "an icon from the package's Icon row: the same bytes and report" \
  eval 'cmp "$native/iconic.exe" "$windows/iconic.exe" && same &&
        grep -q "^Icon: 16x16, 24x24, 64x64 from" "$dir/native.out"'

both build --help
check "the same help" same
both build --version
check "the same version" same
for usage in "" "'../pkg ü.msi'" "--frobnicate ../pkg.msi x.exe" "--launcher=" "../pkg.msi ''"; do
  eval "both build $usage"
  check "the same usage error for [$usage], exit code 2" eval 'same && [ "$(codes)" = 22 ]'
done
both build --launcher ../notes.msi "../pkg ü.msi" refused.exe
check "the same refusal of a launcher that is no executable" same
both build "../pkg ü.msi" missing/setup.exe
check "the same refusal of a missing output directory" same
both lonely "../pkg ü.msi" lonely.exe
check "the same message without a launcher, naming where each looked" same
both build ../notes.msi refused.exe
check "both refuse a file that is no package, exit code 1" test "$(codes)" = 11
for packer in native windows; do
  err="$dir/$packer.err"
  [ $packer = windows ] && err+=.linux
  check "$packer: the same message, the system's reason aside" \
    grep -qF "kestrel-pack: Cannot open '$dir/notes.msi' as a Windows Installer package" "$err"
done
check "and no output from either" test ! -e "$native/refused.exe" -a ! -e "$windows/refused.exe"

# Reading setups: the same facts, the same package, the same refusals.
both build --info setup.exe
check "--info: the same description" eval 'same && [ "$(codes)" = 00 ]'
both build --info --json setup.exe
sed -i 's/^{"setup":"[^"]*",//' "$dir/native.out" "$dir/windows.out.linux"
check "--info --json: the same object, the setup's path aside" eval 'same && [ "$(codes)" = 00 ]'
both build --extract setup.exe "extracted ü.msi"
check "--extract: the same report" eval 'same && [ "$(codes)" = 00 ]'
check "and the package byte for byte from both" eval 'cmp "$native/extracted ü.msi" "$dir/pkg ü.msi" &&
  cmp "$windows/extracted ü.msi" "$dir/pkg ü.msi"'
# One byte changed inside the package, which starts with the compound file signature.
cp "$native/setup.exe" "$dir/damaged.exe"
offset=$(LC_ALL=C grep -obUaP '\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1' "$dir/damaged.exe" | head -1 | cut -d: -f1)
printf '\x5a' | dd of="$dir/damaged.exe" bs=1 seek=$((offset + 2000)) conv=notrunc status=none
both build --info ../damaged.exe
check "a damaged package: the same description and refusal by --info, exit code 1" \
  eval 'same && [ "$(codes)" = 11 ] && grep -q "is damaged: its digest is crc32c:" "$dir/native.err"'
both build --extract ../damaged.exe damaged.msi
check "the same refusal by --extract, exit code 1, and nothing written" \
  eval 'same && [ "$(codes)" = 11 ] && [ ! -e "$native/damaged.msi" ] && [ ! -e "$windows/damaged.msi" ]'
both build --extract --force ../damaged.exe damaged.msi
check "taken with --force alike" eval 'same && [ "$(codes)" = 00 ] && cmp "$native/damaged.msi" "$windows/damaged.msi"'
cp "$bin/kestrel-launcher.exe" "$dir/bare.exe"
both build --info ../bare.exe
check "the same refusal of a launcher that carries no package, exit code 1" eval 'same && [ "$(codes)" = 11 ]'
for usage in "--info" "--info a.exe b.exe" "--extract a.exe" "--json a.exe" "--info --force a.exe" \
  "--info --extract a.exe b.msi" "--launcher x.exe --info a.exe"; do
  eval "both build $usage"
  check "the same usage error for [$usage], exit code 2" eval 'same && [ "$(codes)" = 22 ]'
done

# No input is ever the output, the icon included: refused before anything is written.
untouched() { # untouched <setup>: as it was in both directories, and no temporary file beside it
  cmp -s "$native/$1" "$dir/before.exe" && cmp -s "$windows/$1" "$dir/before.exe" &&
    ! ls "$native" "$windows" | grep -q '^kvs.*\.tmp$'
}
cp "$native/iconic.exe" "$dir/before.exe"
both build --icon iconic.exe ../iconic.msi iconic.exe
check "a setup with an icon as its own icon: the same refusal, exit code 1, the setup untouched" \
  eval 'same && [ "$(codes)" = 11 ] && untouched iconic.exe && grep -qF \
        "kestrel-pack: The output '\''$native/iconic.exe'\'' would replace an input of the packer" "$dir/native.err"'
cp "$native/setup.exe" "$dir/before.exe"
both build --extract setup.exe setup.exe
check "--extract onto its setup: the same refusal, exit code 1, the setup untouched" \
  eval 'same && [ "$(codes)" = 11 ] && untouched setup.exe && grep -qF "would replace an input" "$dir/native.err"'

# A report lost on standard output fails the command, and standard error says why: a full disk, a closed stream.
for packer in native windows; do
  program=("$bin/kestrel-pack")
  [ $packer = windows ] && program=("$run" "$bin/kestrel-pack.exe")
  for lost in full closed; do
    (cd "$dir/$packer" || exit
     if [ $lost = full ]; then "${program[@]}" --info --json setup.exe >/dev/full 2>"$dir/lost.err"
     else "${program[@]}" --info setup.exe >&- 2>"$dir/lost.err"; fi
     echo $? >"$dir/lost.code")
    reason="No space left on device"
    [ $lost = closed ] && reason="Bad file descriptor"
    [ $packer = windows ] && reason=""
    check "$packer: standard output $lost: exit code 1 and 'write error' on standard error" \
      eval '[ "$(cat "$dir/lost.code")" = 1 ] && grep -q "^kestrel-pack: write error: $reason" "$dir/lost.err"'
  done
done

# The native setup at work under Wine.
check_install_and_removal native "$native/setup.exe"

(( failures == 0 ))
