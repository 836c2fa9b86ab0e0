#!/bin/bash
# Damaged packages through kestrel-pack.exe under Wine, beside the native packer: a sample of damage.py's set, the
# reading child made to crash with Wine's crash debugger switched on, and an Icon row too large for an icon. Each
# run of either packer exits 0 or 1 within the time bound, with no line of the installer library on standard
# error, and packs a setup --info accepts or says why in one line of its own and leaves nothing behind.
# Usage: damaged-packages-wine-test.sh <bin directory> <package with an icon> <package with an oversized icon>
set -u
bin=$1
iconic=$2
huge=$3
run="$bin/../wine/run"
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# As for the native packer: its own limit of 60 s for the reading child, and room for Wine to start.
bound=90
info=("$bin/kestrel-pack" --info)
# shellcheck source=tests/tools/damaged/check-packing.sh
source "$here/check-packing.sh"
# Wine reads the paths relative to the scratch directory, on its drive Z:.
cd "$scratch" || exit 1
cp "$iconic" iconic.msi
cp "$huge" huge.msi

python3 "$here/damage.py" iconic.msi set
# The first of each kind of damage, but the second of the looped chains: Wine's msi.dll reads the first one until
# the packer's 60 s limit, a minute of the test's time (the limit itself is tested natively, ReadingChild).
sample=(cut-0 bytes-0 chain-loop-1 chain-beyond-0 chain-end-0 chain-cross-0 minichain-0 entry-start-0 entry-size-0
        tree-0 header-0)
# libmsi and msi.dll are different readers, so either may pack a package the other refuses: told, not failed.
differed=()
for name in "${sample[@]}"; do
  pack_and_check "$run" "$bin/kestrel-pack.exe" "set/$name.msi"
  windows=$exit_code
  pack_and_check "$bin/kestrel-pack" "set/$name.msi"
  (( windows == exit_code )) || differed+=("$name (Windows $windows, native $exit_code)")
done
echo "${#sample[@]} damaged packages through both packers: $packed packed, $refused refused, $failures failures;" \
     "exit codes differ on ${#differed[@]}: ${differed[*]}"
printf '%s\n' "${messages[@]}" | sort | uniq -c

# Wine starts the debugger registered for crashes whatever the error mode, and its dialog waits for a click; the
# session turns it off, so it is turned on here while the reading child crashes: made to, and in Wine's msi.dll
# itself, which faults on chain-end-1.
aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
debugger() { "$run" reg add "$aedebug" /v Debugger /t REG_SZ /d "$1" /f >/dev/null 2>&1; }
trap 'debugger ""; rm -rf "$scratch"' EXIT
debugger 'winedbg --auto %ld %ld'
for crash in fault msi.dll; do
  if [ "$crash" = fault ]; then
    package=iconic.msi fault=crash
  else
    package=set/chain-end-1.msi fault=
  fi
  start=$SECONDS
  KESTREL_TEST_READER_FAULT=$fault pack_and_check "$run" "$bin/kestrel-pack.exe" "$package"
  elapsed=$((SECONDS - start))
  windows_path="Z:${scratch//\//\\}\\${package//\//\\}"
  check "the reading child crashed ($crash): a damaged package" test "$(cat "$scratch/err")" = "kestrel-pack: Cannot \
read the package '$windows_path': it is damaged (the installer library failed while reading it)"
  check "and no debugger held it ($elapsed s)" test "$elapsed" -lt 20
done
debugger ''

pack_and_check "$run" "$bin/kestrel-pack.exe" huge.msi
check "an Icon row over 16 MiB: refused as an unusable icon" test "$(cat "$scratch/err")" = "kestrel-pack: The icon \
'ProductIcon' in the package 'Z:${scratch//\//\\}\\huge.msi' cannot be used: its row in the Icon table holds more \
than 16 MiB"

echo "$failures failures"
exit $((failures > 0))
