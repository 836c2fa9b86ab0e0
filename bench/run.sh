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
  echo "info rsrc.extract $(rsrc_offset "$KR_BENCH_EXTRACT")"
  for size in $KR_BENCH_SIZES; do
    setup_var=KR_BENCH_SETUP_$size
    echo "info rsrc.setup.$size $(rsrc_offset "${!setup_var}")"
  done
  echo "info rsrc.setup.offpage $(rsrc_offset "$KR_BENCH_SETUP_OFFPAGE")"
} >>"$samples"

# Extractions are short and vary most from one to the next, so they get three times the runs.
echo "extraction" >&2
for size in small large; do
  payload_var=KR_BENCH_PAYLOAD_$size
  measure "$KR_BENCH_EXTRACT" "extract.$size" "$size" "$(win "${!payload_var}")" $((runs * 3))
done

echo "whole launcher against the installer alone" >&2
for size in small large; do
  package_var=KR_BENCH_PACKAGE_$size
  code_var=KR_BENCH_CODE_$size
  setup_var=KR_BENCH_SETUP_$size
  measure "$KR_BENCH_DRIVER" install "install.$size" "$(win "${!package_var}")" "${!code_var}" "$runs" \
    "setup=$(win "${!setup_var}")"
done

echo "launcher memory" >&2
for size in medium large; do
  setup_var=KR_BENCH_SETUP_$size
  launchers=("setup=$(win "${!setup_var}")")
  # The large launcher runs alongside its copy with the resources off a page, which shows what the alignment saves.
  if [ "$size" = large ]; then
    launchers+=("offpage=$(win "$KR_BENCH_SETUP_OFFPAGE")")
  fi
  measure "$KR_BENCH_DRIVER" memory "memory.$size" "$runs" "${launchers[@]}"
done

echo "launcher size" >&2
stripped=$(mktemp)
x86_64-w64-mingw32-strip -o "$stripped" "$KR_BENCH_LAUNCHER_UNSTRIPPED"
{
  echo "info size.launcher $(stat -c %s "$KR_BENCH_LAUNCHER")"
  echo "info size.rebuilt-stripped $(stat -c %s "$stripped")"
  echo "info size.budget $KR_BENCH_LAUNCHER_BUDGET"
} >>"$samples"
rm -f "$stripped"
x86_64-w64-mingw32-nm --size-sort -S -C "$KR_BENCH_LAUNCHER_UNSTRIPPED" >"$out/launcher-symbols.txt"

echo "packing" >&2
package_var=KR_BENCH_PACKAGE_large
measure "$KR_BENCH_DRIVER" pack pack.large "$(win "$KR_BENCH_PACKER")" "$(win "${!package_var}")" "$runs"

# The native packer against cp of the same package, both plain Linux processes, and against cp followed by a flush
# of the copy and its directory, as the packer flushes its setup; as above, one untimed run of each first, then the
# order rotates and each output is deleted, untimed, after its run.
echo "native packing" >&2
package=${!package_var}
package_bytes=$(stat -c %s "$package")
native_dir=$(mktemp -d "$out/native-pack.XXXXXX")
native_once() { # native_once <contender>: runs it, checks its output, deletes it; prints the milliseconds taken
  local output start end
  case $1 in
    pack) output="$native_dir/setup.exe"; set -- "$build/bin/kestrel-pack" "$package" "$output" ;;
    copy) output="$native_dir/copy.msi"; set -- cp "$package" "$output" ;;
    flushed) output="$native_dir/copy.msi"
      set -- sh -c 'cp "$1" "$2" && sync "$2" "${2%/*}"' sh "$package" "$output" ;;
  esac
  sync
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  local bytes
  bytes=$(stat -c %s "$output")
  if (( bytes < package_bytes )); then
    echo "bench: $output holds $bytes bytes for a package of $package_bytes" >&2
    exit 1
  fi
  rm -f "$output"
  awk -v start="$start" -v end="$end" 'BEGIN { printf "%.3f\n", (end - start) / 1e6 }'
}
contenders=(pack copy flushed)
for contender in "${contenders[@]}"; do
  native_once "$contender" >/dev/null
done
for ((run = 0; run < runs; run++)); do
  for i in 0 1 2; do
    contender=${contenders[$(((i + run) % 3))]}
    ms=$(native_once "$contender")
    echo "sample pack.native.$contender $ms" >>"$samples"
  done
done
rm -rf "$native_dir"

# What reading the package in a child costs the native packer: packing the small package, where process starts
# weigh most, against one start of the packer alone (--version) and the reading child alone on that package. Given
# KR_BENCH_BASELINE_PACKER, a kestrel-pack that reads in its own process (built from an earlier revision), that one
# packs both packages too, paired with the packer of this build: the old figure beside the new.
echo "package reading in a child" >&2
isolation_dir=$(mktemp -d "$out/isolation.XXXXXX")
timed() { # timed <command>...: the milliseconds it took; its output goes nowhere
  local start end
  start=$(date +%s%N)
  if ! "$@" >/dev/null 2>&1; then
    echo "bench: $* failed" >&2
    exit 1
  fi
  end=$(date +%s%N)
  awk -v start="$start" -v end="$end" 'BEGIN { printf "%.3f\n", (end - start) / 1e6 }'
}
small_package=$KR_BENCH_PACKAGE_small
baseline=${KR_BENCH_BASELINE_PACKER:-}
for ((run = 0; run < runs * 3; run++)); do
  echo "sample pack.native.small.pack $(timed "$build/bin/kestrel-pack" "$small_package" "$isolation_dir/setup.exe")"
  rm -f "$isolation_dir/setup.exe"
  echo "sample pack.native.start $(timed "$build/bin/kestrel-pack" --version)"
  echo "sample pack.native.reader $(timed "$build/bin/kestrel-pack" --internal-package-reader properties \
    "$small_package")"
  if [ -n "$baseline" ]; then
    echo "sample pack.native.small.baseline $(timed "$baseline" --launcher "$build/bin/kestrel-launcher.exe" \
      "$small_package" "$isolation_dir/setup.exe")"
    rm -f "$isolation_dir/setup.exe"
  fi
done >>"$samples"
if [ -n "$baseline" ]; then
  for ((run = 0; run < runs; run++)); do
    echo "sample pack.native.large.isolated $(timed "$build/bin/kestrel-pack" "$package" "$isolation_dir/setup.exe")"
    rm -f "$isolation_dir/setup.exe"
    echo "sample pack.native.large.baseline $(timed "$baseline" --launcher "$build/bin/kestrel-launcher.exe" \
      "$package" "$isolation_dir/setup.exe")"
    rm -f "$isolation_dir/setup.exe"
  done >>"$samples"
fi
rm -rf "$isolation_dir"

# --info on the worst crafted setup: the largest resource tree the packer's rules allow, from craft.py.
echo "worst crafted --info" >&2
worst=$out/worst-info.exe
python3 "$here/../tests/tools/crafted/craft.py" --worst-case "$build/bin/kestrel-launcher.exe" "$worst"
echo "info bytes.worst-info $(stat -c %s "$worst")" >>"$samples"
for ((run = 0; run < runs; run++)); do
  # The milliseconds and the peak resident KiB of one run; a refusal (exit 1) counts as well as a description.
  python3 - "$build/bin/kestrel-pack" --info "$worst" >>"$samples" <<'EOF'
import resource, subprocess, sys, time
start = time.perf_counter()
code = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
elapsed = (time.perf_counter() - start) * 1000
if code not in (0, 1):
    sys.exit(f"bench: kestrel-pack --info exited {code} on {sys.argv[-1]}")
print(f"sample info.worst.ms {elapsed:.3f}")
print(f"sample info.worst.peak {resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss}")
EOF
done

python3 "$here/report.py" --samples "$samples" --map "$KR_BENCH_LAUNCHER_MAP" \
  --symbols "$out/launcher-symbols.txt" --out "$out"
