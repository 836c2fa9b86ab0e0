#!/bin/bash
# Builds the release again from its own source archive, unpacked in another directory, and compares the zip and the
# Debian package byte for byte with those `make dist` wrote: the archives must not depend on where or when they
# were built.
# Usage: check-rebuild.sh <dist directory> <jobs>
set -euo pipefail
dist=$(realpath "$1")
jobs=$2
source_archive=$(echo "$dist"/kestrel-*.tar.gz)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

start=$(date +%s)
mkdir "$scratch/rebuild"
tar -xzf "$source_archive" -C "$scratch/rebuild"
tree=$(echo "$scratch/rebuild"/kestrel-*)
echo "Building the release again from $(basename "$source_archive") in $tree"
if ! env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -C "$tree" dist JOBS="$jobs" >"$scratch/make.log" 2>&1; then
  tail -n 40 "$scratch/make.log"
  echo "check-rebuild: make dist failed in $tree" >&2
  exit 1
fi
different=0
for archive in "$dist"/*.zip "$dist"/*.deb; do
  name=$(basename "$archive")
  if cmp -s "$archive" "$tree/build/dist/$name"; then
    echo "  same bytes: $name"
  else
    echo "  DIFFERENT: $name" >&2
    different=1
  fi
done
echo "Rebuilt and compared in $(($(date +%s) - start)) s"
exit $different
