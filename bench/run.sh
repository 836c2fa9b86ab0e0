#!/bin/bash
# Runs the benchmarks under Wine and reports them.
#   bench/run.sh BUILD          the full suite (make bench): builds its data, runs in its own Wine session,
#                               writes BUILD/bench/results.md and results.json. KR_BENCH_RUNS sets the runs (7).
#   bench/run.sh --smoke BUILD  the tiny suite, one run, in the session the caller (CTest) has started;
#                               writes BUILD/bench/smoke/results.*.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
smoke=0
if [ "${1:-}" = --smoke ]; then
  smoke=1
  shift
fi
if [ $# -ne 1 ]; then
  echo "usage: bench/run.sh [--smoke] BUILD" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
run="$build/wine/run"
session="$here/../cmake/wine-session"

if (( smoke )); then
  suite=smoke
  out="$build/bench/smoke"
  runs=1
else
  suite=full
  out="$build/bench"
  runs=${KR_BENCH_RUNS:-7}
  cmake --build "$build" --target bench_all -j "$(nproc)" >&2
  "$session" start "$build/wine"
  trap '"$session" stop "$build/wine"' EXIT
fi
# The suite's paths and sizes, KR_BENCH_*, written by the build.
# shellcheck source=/dev/null
source "$build/bench/$suite/suite.env"
# Launchers trace to the console only when asked; a trace would slow them down.
unset KESTREL_DEBUG
mkdir -p "$out"
samples="$out/samples.txt"
: >"$samples"

# The Windows form of a Linux path.
win() { "$run" winepath -w "$1" | tr -d '\r'; }

# Runs one benchmark program under Wine; its sample lines go to the samples file.
measure() {
  echo "  $*" | sed "s|$build/||g" >&2
  "$run" "$@" | tr -d '\r' >>"$samples"
}

for size in $KR_BENCH_SIZES; do
  bytes_var=KR_BENCH_BYTES_$size
  echo "info bytes.$size ${!bytes_var}" >>"$samples"
done
echo "info runs $runs" >>"$samples"

# Where each program's resource section starts in its file: Wine maps it from the file only from a page boundary.
rsrc_offset() {
  local hex
  hex=$(x86_64-w64-mingw32-objdump -h "$1" | awk '$2 == ".rsrc" { print $6 }')
  echo $((16#$hex))
}
{
  echo "info rsrc.kestrel-launcher $(rsrc_offset "$KR_BENCH_LAUNCHER")"
  echo "info rsrc.extract.default $(rsrc_offset "$KR_BENCH_EXTRACT")"
  echo "info rsrc.extract.aligned $(rsrc_offset "$KR_BENCH_EXTRACT_ALIGNED")"
} >>"$samples"

# Extractions are short and vary most from one to the next, so they get three times the runs.
echo "extraction" >&2
for size in small large; do
  payload_var=KR_BENCH_PAYLOAD_$size
  payload=$(win "${!payload_var}")
  measure "$KR_BENCH_EXTRACT" "extract.$size.default" "$size" "$payload" $((runs * 3))
  measure "$KR_BENCH_EXTRACT_ALIGNED" "extract.$size.aligned" "$size" "$payload" $((runs * 3))
done

# The launchers of one size: as built, with the resources moved off a page boundary, with 4 KiB file alignment.
launchers() {
  local setup_var=KR_BENCH_SETUP_$1 offpage_var=KR_BENCH_SETUP_OFFPAGE_$1 aligned_var=KR_BENCH_SETUP_ALIGNED_$1
  launcher_args=("default=$(win "${!setup_var}")" "offpage=$(win "${!offpage_var}")" "aligned=$(win "${!aligned_var}")")
}
for size in $KR_BENCH_SIZES; do
  setup_var=KR_BENCH_SETUP_$size
  offpage_var=KR_BENCH_SETUP_OFFPAGE_$size
  aligned_var=KR_BENCH_SETUP_ALIGNED_$size
  {
    echo "info rsrc.setup.$size.default $(rsrc_offset "${!setup_var}")"
    echo "info rsrc.setup.$size.offpage $(rsrc_offset "${!offpage_var}")"
    echo "info rsrc.setup.$size.aligned $(rsrc_offset "${!aligned_var}")"
  } >>"$samples"
done

echo "whole launcher against the installer alone" >&2
for size in small large; do
  package_var=KR_BENCH_PACKAGE_$size
  code_var=KR_BENCH_CODE_$size
  launchers "$size"
  measure "$KR_BENCH_DRIVER" install "install.$size" "$(win "${!package_var}")" "${!code_var}" "$runs" \
    "${launcher_args[@]}"
done

echo "launcher memory" >&2
for size in medium large; do
  launchers "$size"
  measure "$KR_BENCH_DRIVER" memory "memory.$size" "$runs" "${launcher_args[@]}"
done

echo "launcher size" >&2
stripped=$(mktemp)
x86_64-w64-mingw32-strip -o "$stripped" "$KR_BENCH_LAUNCHER_UNSTRIPPED"
{
  echo "info size.launcher $(stat -c %s "$KR_BENCH_LAUNCHER")"
  echo "info size.rebuilt-stripped $(stat -c %s "$stripped")"
} >>"$samples"
rm -f "$stripped"
x86_64-w64-mingw32-nm --size-sort -S -C "$KR_BENCH_LAUNCHER_UNSTRIPPED" >"$out/launcher-symbols.txt"

echo "packing" >&2
package_var=KR_BENCH_PACKAGE_large
measure "$KR_BENCH_DRIVER" pack pack.large "$(win "$KR_BENCH_PACKER")" "$(win "${!package_var}")" "$runs"

python3 "$here/report.py" --samples "$samples" --map "$KR_BENCH_LAUNCHER_MAP" \
  --symbols "$out/launcher-symbols.txt" --out "$out"
