#!/bin/bash
# `make install` for those who only pack: the packages it would install are those that building the launcher and
# the packer needs, and on a machine with no package at all (apt-get's simulation on an empty package database)
# they bring none of Wine, clang or the test tools; the trees it configures leave the tests out and look for no
# test tool.
# Usage: lean-install-test.sh <source root>
set -u
root=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# shellcheck source=tests/tools/checks.sh
source "$root/tests/tools/checks.sh"
test_tools='wine|clang|llvm|xvfb|xauth|googletest|gtest|wixl|msitools|osslsigncode'

# The dry run: what `make install` would do, its package list included.
make -s -C "$root" -n install BUILD="$scratch/build" PREFIX="$scratch/prefix" >"$scratch/plan.txt"
packages=$(sed -n 's|^bash cmake/install-packages ||p' "$scratch/plan.txt")
echo "make install would install what it lacks of: $packages"
check "the list holds the cross compiler, libmsi's headers and help2man" \
  eval 'for p in g++-mingw-w64-x86-64 libmsi-dev help2man; do [[ " $packages " == *" $p "* ]] || exit 1; done'
check "and no test tool" eval '! grep -qwE "$test_tools" <<<"$packages"'
check "the trees are configured without their tests" \
  eval 'grep -q -- "-DBUILD_TESTING=OFF" "$scratch/plan.txt" && ! grep -q -- "-DBUILD_TESTING=ON" "$scratch/plan.txt"'

: >"$scratch/empty-status"
# shellcheck disable=SC2086
if apt-get -s -o Dir::State::status="$scratch/empty-status" install --no-install-recommends $packages \
  >"$scratch/simulated.txt" 2>&1; then
  echo "on a bare machine: $(grep -c '^Inst ' "$scratch/simulated.txt") packages with their dependencies"
  check "which bring no test tool either" eval '! grep -E "^Inst ($test_tools)" "$scratch/simulated.txt"'
else
  echo "skipped the simulation on a bare machine: apt-get has no package lists ($(tail -n 1 "$scratch/simulated.txt"))"
fi

make -s -C "$root" configure-lean BUILD="$scratch/build" >"$scratch/configure.txt" 2>&1
check "the lean configuration succeeds" test $? = 0
for tree in "$scratch/build" "$scratch/build/native"; do
  check "${tree#"$scratch"/} looks for no test tool" \
    eval 'grep -q "^BUILD_TESTING:BOOL=OFF$" "$tree/CMakeCache.txt" &&
          ! grep -E "^(KR_WIXL|KR_MSIBUILD|KR_CLANGXX|GTest_DIR|KR_PYTHON)[:=]" "$tree/CMakeCache.txt"'
done

(( failures == 0 )) || { tail -n 20 "$scratch/configure.txt"; exit 1; }
