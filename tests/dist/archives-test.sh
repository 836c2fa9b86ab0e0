#!/bin/bash
# The release archives as their users meet them. Made twice from these trees, into two directories and from
# copies of the Windows programs with other times, under other umasks and time zones, they are the same bytes. The
# zip, unpacked into a folder with blanks, packs under Wine with no --launcher, byte for byte as the packer of the
# unpacked Debian package, which finds its own launcher. The Debian package's fields, owners, modes and times; the
# source archive names its commit; SHA256SUMS matches; LICENSE is the zlib licence.
# Usage: archives-test.sh <source root> <Windows tree's bin directory> <native tree> <package>
set -u
root=$(realpath "$1")
bin=$2
native=$3
package=$4
run="$bin/../wine/run"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# shellcheck source=tests/tools/checks.sh
source "$root/tests/tools/checks.sh"
export TZ=UTC LC_ALL=C

version=$(sed -n 's/^project(Kestrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
zip=kestrel-$version-windows-x64.zip
deb=kestrel-pack_${version}_$(dpkg --print-architecture).deb
source_archive=kestrel-$version.tar.gz
# From a git checkout the source archive is made too; from a source archive, its commit is recorded in it.
if [ "$(git -C "$root" rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
  read -r epoch commit < <(git -C "$root" log -1 --format='%ct %H')
  archives=("$zip" "$source_archive" "$deb")
else
  read -r epoch commit < <(tail -n 1 "$root/cmake/dist/commit")
  archives=("$zip" "$deb")
fi
make_dist="$root/cmake/dist/make-dist.sh"

# Twice: the second time from copies of the Windows programs, elsewhere, with other settings.
one="$scratch/one"
other="$scratch/second place"
mkdir -p "$other/bin" "$other/tmp"
cp "$bin/kestrel-pack.exe" "$bin/kestrel-launcher.exe" "$other/bin/"
start=$(date +%s)
check "make-dist writes the archives" eval '(umask 022; bash "$make_dist" "$root" "$bin" "$native" "$one" >/dev/null)'
check "and again elsewhere, with another umask, time zone and temporary directory" \
  eval '(cd "$other" && umask 077 && TZ=Pacific/Kiritimati TMPDIR="$other/tmp" \
         bash "$make_dist" "$root" "$other/bin" "$native" "$other/dist" >/dev/null)'
echo "both made in $(($(date +%s) - start)) s"
for file in "${archives[@]}" SHA256SUMS; do
  check "$file: the same bytes both times" cmp "$one/$file" "$other/dist/$file"
done
check "SHA256SUMS covers the archives, and they match it" \
  eval '(cd "$one" && [ "$(cut -d" " -f3 SHA256SUMS | sort | xargs)" = "${archives[*]}" ] &&
         sha256sum --check --quiet SHA256SUMS)'

# The zip, unpacked as a Windows user would, into a folder with blanks; its packer finds the launcher beside it.
windows="$scratch/Program Files/Kestrel $version"
python3 -m zipfile -e "$one/$zip" "$windows"
check "the zip holds the two programs and the three documents" \
  test "$(ls -A "$windows" | xargs)" = "LICENSE README.md THIRD-PARTY-NOTICES kestrel-launcher.exe kestrel-pack.exe"
check "the zip's launcher is the one built" cmp "$windows/kestrel-launcher.exe" "$bin/kestrel-launcher.exe"
mkdir -p "$scratch/packed by windows" "$scratch/packed by linux"
cp "$package" "$scratch/packed by windows/product.msi"
cp "$package" "$scratch/packed by linux/product.msi"
(cd "$scratch/packed by windows" && "$run" "$windows/kestrel-pack.exe" product.msi setup.exe >out.txt 2>&1)
check "kestrel-pack.exe from the zip packs under Wine with no --launcher" test $? = 0

# The Debian package, unpacked: its packer finds the launcher of its own tree, /usr/share/kestrel.
debian="$scratch/deb root"
dpkg-deb -x "$one/$deb" "$debian"
(cd "$scratch/packed by linux" && "$debian/usr/bin/kestrel-pack" product.msi setup.exe >out.txt 2>&1)
check "the Debian package's kestrel-pack packs with no --launcher" test $? = 0
check "the two setups are the same bytes" cmp "$scratch/packed by windows/setup.exe" "$scratch/packed by linux/setup.exe"
"$debian/usr/bin/kestrel-pack" --info "$scratch/packed by windows/setup.exe" >"$scratch/info.txt"
info_code=$?
check "--info accepts the setup and names the Kestrel that packed it" \
  eval '[ $info_code = 0 ] && grep -qx "Packed by:    Kestrel $version" "$scratch/info.txt"'
mkdir "$scratch/repacked"
check "its package, extracted and packed again under the same name, gives the same setup" \
  eval '"$debian/usr/bin/kestrel-pack" --extract "$scratch/packed by windows/setup.exe" "$scratch/product.msi" >/dev/null &&
        "$debian/usr/bin/kestrel-pack" "$scratch/product.msi" "$scratch/repacked/setup.exe" >/dev/null &&
        cmp "$scratch/repacked/setup.exe" "$scratch/packed by windows/setup.exe"'
check "Depends, computed from the packer, names libmsi" eval 'dpkg-deb -f "$one/$deb" Depends | grep -q "\blibmsi0\b"'
check "Version is the project's" test "$(dpkg-deb -f "$one/$deb" Version)" = "$version"
dpkg-deb -c "$one/$deb" | awk '{ print $1, $2, $4 " " $5, $6 }' >"$scratch/contents.txt"
commit_time=$(date -d "@$epoch" '+%Y-%m-%d %H:%M')
check "every entry is root's and dated at the commit" \
  eval '! grep -v " root/root $commit_time " "$scratch/contents.txt"'
check "the packer, its manual page, the launcher, the CMake package and the documents, with their modes" \
  diff - <(awk '$1 !~ /^d/ { print $1, $5 }' "$scratch/contents.txt") <<EOF
-rwxr-xr-x ./usr/bin/kestrel-pack
-rw-r--r-- ./usr/lib/cmake/Kestrel/KestrelConfig.cmake
-rw-r--r-- ./usr/lib/cmake/Kestrel/KestrelConfigVersion.cmake
-rw-r--r-- ./usr/lib/cmake/Kestrel/KestrelTargets-release.cmake
-rw-r--r-- ./usr/lib/cmake/Kestrel/KestrelTargets.cmake
-rw-r--r-- ./usr/share/doc/kestrel-pack/changelog.gz
-rw-r--r-- ./usr/share/doc/kestrel-pack/copyright
-rw-r--r-- ./usr/share/kestrel/kestrel-launcher.exe
-rw-r--r-- ./usr/share/man/man1/kestrel-pack.1.gz
EOF
check "the manual page is the built one, dated at the commit" \
  eval 'diff <(zcat "$debian/usr/share/man/man1/kestrel-pack.1.gz" | grep -v "^\.TH ") \
             <(grep -v "^\.TH " "$native/man/kestrel-pack.1") &&
        zcat "$debian/usr/share/man/man1/kestrel-pack.1.gz" | grep -q "^\.TH .* \"$(date -d "@$epoch" "+%B %Y")\" "'
check "the copyright file carries the licence and the notices" \
  eval 'grep -qxF "$(head -n 1 "$root/LICENSE")" "$debian/usr/share/doc/kestrel-pack/copyright" &&
        grep -qxF "1. The mingw-w64 runtime" "$debian/usr/share/doc/kestrel-pack/copyright"'

# The source archive: the commit's files under one directory, with the commit named for a rebuild from it.
if [ ${#archives[@]} = 3 ]; then
  check "the source archive holds the commit's files under kestrel-$version/" \
    eval 'tar -tzf "$one/$source_archive" >"$scratch/source.txt" &&
          [ "$(grep -vc "^kestrel-$version/" "$scratch/source.txt")" = 0 ] &&
          [ "$(grep -vc "/$" "$scratch/source.txt")" = "$(git -C "$root" ls-tree -r HEAD | wc -l)" ]'
  check "and names its commit" \
    test "$(tar -xzOf "$one/$source_archive" "kestrel-$version/cmake/dist/commit" | tail -n 1)" = "$epoch $commit"
else
  echo "skipped the source archive: $root is no git checkout"
fi

# LICENSE: the project's copyright line, then the zlib licence as zlib itself states it (its Debian copyright file).
zlib_text() { sed -n '/^ This software is provided/,/This notice may not be removed/p' /usr/share/doc/zlib1g/copyright |
  sed 's/^ \.$//' | tr -s ' \n' ' '; }
check "LICENSE opens with the project's copyright line" grep -qx "Copyright (c) 20[0-9][0-9] The Kestrel developers" \
  <(head -n 1 "$root/LICENSE")
check "and goes on with the zlib licence, word for word" test "$(tail -n +2 "$root/LICENSE" | tr -s ' \n' ' ')" \
  = "$(zlib_text)"

(( failures == 0 ))
