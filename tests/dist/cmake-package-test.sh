#!/bin/bash
# The CMake package as a product's build uses it: installed, then moved to a prefix with a blank, it serves the
# consumer example in examples/cmake-consumer, whose setup --info accepts; the setup is packed again when the
# package changes and only then; a second project packs with NO_ICON, a LAUNCHER and an OUTPUT in a new directory.
# Usage: cmake-package-test.sh <source root> <native tree>
set -u
root=$1
native=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# shellcheck source=tests/tools/checks.sh
source "$root/tests/tools/checks.sh"
version=$(sed -n 's/^project(Kestrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

prefix="$scratch/installed prefix"
cmake --install "$native" --prefix "$scratch/staged" >/dev/null && mv "$scratch/staged" "$prefix"
check "the package is installed under lib/cmake/Kestrel" \
  test -f "$prefix/lib/cmake/Kestrel/KestrelConfig.cmake" -a -f "$prefix/lib/cmake/Kestrel/KestrelConfigVersion.cmake"

# The example from a copy of examples/, whose files the test changes.
cp -r "$root/examples" "$scratch/examples"
consumer="$scratch/consumer build"
setup="$consumer/kestrel-demo-setup.exe"
cmake -S "$scratch/examples/cmake-consumer" -B "$consumer" -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/configure.txt" 2>&1
check "the example configures against the installed prefix" test $? = 0
cmake --build "$consumer" >"$scratch/build.txt" 2>&1
check "and builds its setup" eval '[ $? = 0 ] && [ -s "$setup" ] && grep -q "Packing kestrel-demo.msi into kestrel-demo-setup.exe" "$scratch/build.txt"'
"$prefix/bin/kestrel-pack" --info --json "$setup" >"$scratch/info.json"
info_code=$?
check "--info accepts the setup: the demo product, its icon, packed by this Kestrel" \
  eval '[ $info_code = 0 ] && grep -q "\"productName\":\"Kestrel Demo\",.*\"digestMatches\":true,.*\"icon\":\[{\"width\":16,.*\"packerVersion\":\"$version\"}" "$scratch/info.json"'
cmake --build "$consumer" >"$scratch/again.txt" 2>&1
check "an unchanged package is not packed again" eval '! grep -q "Packing" "$scratch/again.txt"'
before=$(sha256sum <"$setup")
echo "A new line." >>"$scratch/examples/files/hello.txt"
cmake --build "$consumer" >"$scratch/changed.txt" 2>&1
check "a changed package is" eval 'grep -q "Packing" "$scratch/changed.txt" && [ "$(sha256sum <"$setup")" != "$before" ]'

# NO_ICON, LAUNCHER and a relative OUTPUT in a directory to be made, from a package that is a plain file.
mkdir "$scratch/second"
cat >"$scratch/second/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.20)
project(Second NONE)
find_package(Kestrel $version REQUIRED)
kestrel_add_setup(plain MSI "$consumer/kestrel-demo.msi" OUTPUT "out dir/plain setup.exe" NO_ICON
  LAUNCHER "\${KESTREL_LAUNCHER}")
EOF
cmake -S "$scratch/second" -B "$scratch/second/build" -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/second.txt" 2>&1 &&
  cmake --build "$scratch/second/build" >>"$scratch/second.txt" 2>&1
check "NO_ICON, LAUNCHER and an OUTPUT in a new directory" \
  eval '"$prefix/bin/kestrel-pack" --info --json "$scratch/second/build/out dir/plain setup.exe" | grep -q "\"icon\":null,"'

# What CMake and the packer said, when something failed.
(( failures == 0 )) || { tail -n 20 "$scratch"/*.txt "$scratch/info.json"; exit 1; }
