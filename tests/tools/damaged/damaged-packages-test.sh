#!/bin/bash
# Damaged packages through the native packer: damage.py's fixed set made from a package with an icon, then the
# reading child made to crash or to answer nonsense, then an Icon row too large for an icon. Each run exits 0 or 1
# (never a signal) within the time bound, writes no line of the installer library to standard error, and either
# packs a setup that --info accepts or says why in one line of its own and leaves nothing behind.
# Usage: damaged-packages-test.sh <kestrel-pack> <kestrel-launcher.exe> <package with an icon>
#        <package with an oversized icon>
set -u
packer=$1
launcher=$2
iconic=$3
huge=$4
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The packer gives its reading child 60 s; a run past this bound hangs in the packer itself.
bound=75
info=("$packer" --info)
# shellcheck source=tests/tools/damaged/check-packing.sh
source "$here/check-packing.sh"

python3 "$here/damage.py" "$iconic" "$scratch/set"
count=0
for package in "$scratch/set"/*.msi; do
  count=$((count + 1))
  pack_and_check "$packer" --launcher "$launcher" "$package"
done
echo "$count damaged packages: $packed packed, $refused refused, $failures failures; the refusals:"
printf '%s\n' "${messages[@]}" | sed -E "s|'$scratch/set/[^']*'|'…'|g" | sort | uniq -c

# A crashing child leaves no core file in the directory it runs in, whatever limit it inherits.
ulimit -c unlimited 2>/dev/null
cd "$scratch" || exit 1
damaged="kestrel-pack: Cannot read the package '$iconic': it is damaged (the installer library failed while reading it)"
for fault in crash garble; do
  KESTREL_TEST_READER_FAULT=$fault pack_and_check "$packer" --launcher "$launcher" "$iconic"
  check "the reading child made to $fault: a damaged package" test "$(cat "$scratch/err")" = "$damaged"
done
check "no core file from the crash" eval '! compgen -G "$scratch/core*" >/dev/null'

pack_and_check "$packer" --launcher "$launcher" "$huge"
check "an Icon row over 16 MiB: refused as an unusable icon" test "$(cat "$scratch/err")" = "kestrel-pack: The icon \
'ProductIcon' in the package '$huge' cannot be used: its row in the Icon table holds more than 16 MiB"

echo "$failures failures"
exit $((failures > 0))
