#!/bin/bash
# The fault tests' small disk: a tmpfs of a few MiB mounted in the build tree and mapped as a Wine drive.
#   small-disk.sh mount DIR PREFIX DRIVE SIZE   mount DIR/disk (a stale mount goes first), link it as DRIVE
#   small-disk.sh unmount DIR PREFIX DRIVE      remove the link and the mount
# DIR/status holds "mounted", or why there is no small disk (the tests then skip and show that line);
# mount itself never fails the run, so the tests always get to say why they skipped.
set -u
cmd=$1
mkdir -p "$2"
base=$(cd "$2" && pwd)
prefix=$3
drive=$4
disk=$base/disk
link=$prefix/dosdevices/$drive
status=$base/status

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo -n "$@"; fi
}

unmount() {
  if [ -L "$link" ] && [ "$(readlink "$link")" = "$disk" ]; then
    rm -f "$link"
  fi
  if mountpoint -q "$disk" 2>/dev/null; then
    as_root umount "$disk" || as_root umount -l "$disk"
  fi
  rm -f "$status"
}

case "$cmd" in
  mount)
    size=$5
    unmount
    mkdir -p "$disk"
    if ! out=$(as_root mount -t tmpfs -o "size=$size,mode=1777" kestrel-small-disk "$disk" 2>&1); then
      echo "no tmpfs can be mounted here as $(id -un): ${out//$'\n'/ }" >"$status"
    elif [ -e "$link" ] || [ -L "$link" ]; then
      unmount
      echo "drive $drive is already mapped in $prefix" >"$status"
    else
      ln -s "$disk" "$link"
      echo mounted >"$status"
    fi
    echo "small disk: $(cat "$status")"
    ;;
  unmount)
    unmount
    if mountpoint -q "$disk" 2>/dev/null; then
      echo "small disk: $disk is still mounted" >&2
      exit 1
    fi
    ;;
  *) echo "usage: small-disk.sh mount DIR PREFIX DRIVE SIZE | unmount DIR PREFIX DRIVE" >&2; exit 2 ;;
esac
