#!/bin/bash
# Shared by the damaged-package tests: one pack of one package, checked for what its user sees. Sourced after
# `scratch` (a working directory), `bound` (seconds) and `info` (a packer command for --info) are set.
# shellcheck source=tests/tools/checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"
packed=0
refused=0
messages=()

# pack_and_check <packer command>... <package>: packs into a fresh directory, $scratch/out. Exit 0 or 1 within
# $bound seconds; no line of the installer library (GLib's "** (process:…)" and "…-CRITICAL **") or of Wine
# ("wine: Unhandled page fault …") on standard error; exit 0 with a setup --info accepts; exit 1 with one line of the packer's own, no output, nothing written.
# Standard error stays in $scratch/err, the exit code in $exit_code; a failure is counted and named.
pack_and_check() {
  local package=${*: -1} code=0 problem=""
  rm -rf "$scratch/out"
  mkdir -p "$scratch/out"
  timeout -s KILL "$bound" "$@" "$scratch/out/setup.exe" >"$scratch/stdout" 2>"$scratch/err" </dev/null || code=$?
  exit_code=$code
  tr -d '\r' <"$scratch/err" >"$scratch/err.lf" && mv "$scratch/err.lf" "$scratch/err"
  if (( code == 137 )); then
    problem="still running after $bound s"
  elif (( code > 1 )); then
    problem="exit $code"
  elif grep -qE '\*\*|\(process:[0-9]+\)|CRITICAL|WARNING|^wine: ' "$scratch/err"; then
    problem="lines of the installer library or Wine on standard error: $(head -c 300 "$scratch/err")"
  elif (( code == 0 )); then
    packed=$((packed + 1))
    "${info[@]}" "$scratch/out/setup.exe" >/dev/null 2>&1 || problem="packed a setup that --info refuses"
  else
    refused=$((refused + 1))
    messages+=("$(cat "$scratch/err")")
    if [ "$(wc -l <"$scratch/err")" != 1 ] || ! grep -q '^kestrel-pack: ' "$scratch/err"; then
      problem="not one line of the packer's own: $(head -c 300 "$scratch/err")"
    elif [ -s "$scratch/stdout" ]; then
      problem="standard output on failure"
    elif [ -n "$(ls -A "$scratch/out")" ]; then
      problem="left behind: $(ls -A "$scratch/out")"
    fi
  fi
  if [ -n "$problem" ]; then
    echo "FAILED: $(basename "$package"): $problem"
    failures=$((failures + 1))
    return 1
  fi
}
