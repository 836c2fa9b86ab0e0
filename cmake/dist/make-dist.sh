#!/bin/bash
# Writes Kestrel's release archives from the built trees: the Windows zip and the Debian package, and from a git
# checkout also the source archive of its commit and SHA256SUMS. The bytes depend on the commit alone: times come
# from the commit (SOURCE_DATE_EPOCH), entries are sorted, owners and modes fixed.
# Usage: make-dist.sh <source root> <Windows tree's bin directory> <native tree> <output directory>
set -euo pipefail
export LC_ALL=C TZ=UTC
umask 022

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(realpath "$1")
bin=$(realpath "$2")
native=$(realpath "$3")
out=$(realpath -m "$4")
fail() { echo "make-dist: $*" >&2; exit 1; }

version=$(sed -n 's/^project(Kestrel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in $root/CMakeLists.txt"
# The commit: from git in a checkout, else from the line git archive filled in.
read -r epoch commit < <(tail -n 1 "$here/commit")
from_git=false
if [ "$(git -C "$root" rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
  from_git=true
  read -r epoch commit < <(git -C "$root" log -1 --format='%ct %H')
fi
[[ $epoch =~ ^[0-9]+$ ]] || fail "no commit time: $root is neither a git checkout nor a source archive of one"
export SOURCE_DATE_EPOCH=$epoch

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$out"
rm -f "$out"/kestrel-* "$out/SHA256SUMS"
# stamp <directory>: every entry dated at the commit.
stamp() { find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +; }

# The Windows zip: both programs side by side, the packer stripped, and the documents.
zip_dir="$stage/zip"
mkdir "$zip_dir"
x86_64-w64-mingw32-strip -o "$zip_dir/kestrel-pack.exe" "$bin/kestrel-pack.exe"
cp "$bin/kestrel-launcher.exe" "$root/README.md" "$root/LICENSE" "$root/THIRD-PARTY-NOTICES" "$zip_dir/"
zip="kestrel-$version-windows-x64.zip"
python3 "$here/write-zip.py" "$out/$zip" "$SOURCE_DATE_EPOCH" "$zip_dir"

# The Debian package: what `make install` installs under /usr, the packer stripped and its manual page dated at the
# commit and compressed, with the documents Debian asks for and dependencies read from the packer itself.
arch=$(dpkg --print-architecture)
package_root="$stage/deb/debian/kestrel-pack"
DESTDIR="$package_root" cmake --install "$native" --prefix /usr --strip >/dev/null
packer="$package_root/usr/bin/kestrel-pack"
[ "$("$packer" --version)" = "kestrel-pack $version" ] ||
  fail "the built packer says '$("$packer" --version)', the project is $version: build again"
man="$package_root/usr/share/man/man1/kestrel-pack.1"
month=$(date -d "@$SOURCE_DATE_EPOCH" '+%B %Y')
sed -i -E "1,/^\.TH /s/^(\.TH [^ ]+ \"1\" )\"[^\"]*\"/\1\"$month\"/" "$man"
grep -q "^\.TH .* \"$month\" " "$man" || fail "no date line in the manual page $man"
gzip -9n "$man"
doc="$package_root/usr/share/doc/kestrel-pack"
mkdir -p "$doc"
{
  echo "Kestrel $version: kestrel-pack, its launcher and its CMake package."
  echo
  echo "Kestrel is under the zlib licence below. /usr/share/kestrel/kestrel-launcher.exe also holds parts of the"
  echo "mingw-w64 runtime, under the notices after it (section 1)."
  echo
  cat "$root/LICENSE"
  echo
  echo
  cat "$root/THIRD-PARTY-NOTICES"
} >"$doc/copyright"
maintainer=$(sed -n 's/^Maintainer: //p' "$here/deb-control.in")
printf 'kestrel-pack (%s) unstable; urgency=medium\n\n  * Kestrel %s, from commit %s.\n\n -- %s  %s\n' \
  "$version" "$version" "$commit" "$maintainer" "$(date -R -d "@$SOURCE_DATE_EPOCH")" | gzip -9n >"$doc/changelog.gz"
find "$package_root" -type d -exec chmod 0755 {} +
find "$package_root" -type f -exec chmod 0644 {} +
chmod 0755 "$packer"
# dpkg-shlibdeps takes the directory holding DEBIAN for the package's root.
mkdir "$package_root/DEBIAN"
depends=$(cd "$stage/deb" && mkdir -p debian && printf 'Source: kestrel\n\nPackage: kestrel-pack\nArchitecture: any\n' \
  >debian/control && dpkg-shlibdeps -O debian/kestrel-pack/usr/bin/kestrel-pack | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || fail "dpkg-shlibdeps found no dependencies of $packer"
(cd "$package_root" && find usr -type f | sort | xargs md5sum) >"$package_root/DEBIAN/md5sums"
size=$(cd "$package_root" && find usr -type f -printf '%s\n' | awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
sed -e '/^#/d' -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@INSTALLED_SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
  "$here/deb-control.in" >"$package_root/DEBIAN/control"
chmod 0644 "$package_root/DEBIAN/"*
stamp "$package_root"
deb="kestrel-pack_${version}_$arch.deb"
dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$package_root" "$out/$deb" >/dev/null

archives=("$zip" "$deb")
# The source archive of the commit, made by git from the commit itself.
if $from_git; then
  source_archive="kestrel-$version.tar.gz"
  git -C "$root" archive --format=tar --prefix="kestrel-$version/" "$commit" | gzip -9n >"$out/$source_archive"
  archives+=("$source_archive")
fi
(cd "$out" && sha256sum "${archives[@]}") >"$out/SHA256SUMS"
(cd "$out" && ls -l "${archives[@]}" SHA256SUMS | awk '{printf "  %10d  %s\n", $5, $9}')
