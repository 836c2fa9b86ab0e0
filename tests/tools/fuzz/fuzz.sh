#!/bin/bash
# Fuzzing the packer core, with what the native tree built and wrote to ENV (its fuzz.env):
#   fuzz.sh replay ENV          the crafted files and the seeds through the sanitized kestrel-pack (--info,
#                               --info --json, --extract, packed as the launcher and as the icon) and through
#                               every harness:
#                               each exits 0 or 1 in time, no sanitizer report, no temporary file left (a test).
#   fuzz.sh run ENV SECONDS     each harness fuzzed for SECONDS from the seeds and the crafted files, with its
#                               executions and coverage and each input that crashed it, was slow or took too
#                               much memory, with what it broke; those are kept beside ENV, under crashes/
#                               (make fuzz); then the package path as below for SECONDS.
#   fuzz.sh packages ENV SECONDS    the package path: packages damaged with a new seed each round through the native
#                               packer, libmsi included, checked as test_damaged_packages checks its fixed set;
#                               a package that fails is kept under crashes/.
set -euo pipefail
if [ $# -lt 2 ] || { [ "$1" != replay ] && [ "$1" != run ] && [ "$1" != packages ]; }; then
  echo "usage: fuzz.sh replay ENV | fuzz.sh run ENV SECONDS | fuzz.sh packages ENV SECONDS" >&2
  exit 2
fi
mode=$1
# shellcheck source=/dev/null
source "$2"
harnesses=(read-setup pack-launcher parsers icon package-icon tree-shapes)
# inputs_of HARNESS: the corpus files a harness takes: fuzz-tree-shapes reads shapes, the others files.
inputs_of() {
  if [ "$1" = tree-shapes ]; then
    compgen -G "$corpus/shape-*" || true
  else
    find "$corpus" -type f ! -name 'shape-*' | sort
  fi
}
# Sanitizer reports get exit codes of their own, apart from the packer's 0 and 1.
export ASAN_OPTIONS=exitcode=86:detect_leaks=1
export UBSAN_OPTIONS=exitcode=87:print_stacktrace=1
# The crafting scripts import each other; their byte code stays out of the source tree.
export PYTHONDONTWRITEBYTECODE=1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
here=$(cd "$(dirname "$0")" && pwd)

# fuzz_packages SECONDS: damage.py's damage of the iconic package, one of each kind a round with the round's seed,
# through the native packer until SECONDS have passed; fails when one run did. In a subshell of its own, as
# check-packing.sh brings its own check and counts.
fuzz_packages() (
  local seconds=$1 first_seed=$((RANDOM * 32768 + RANDOM)) rounds=0 count=0
  local end=$((SECONDS + seconds))
  scratch="$scratch/packages"
  bound=75
  info=("$KR_FUZZ_PACKER" --info)
  mkdir -p "$scratch" "$KR_FUZZ_WORK/crashes"
  # shellcheck source=tests/tools/damaged/check-packing.sh
  source "$here/../damaged/check-packing.sh"
  while (( SECONDS < end )); do
    local seed=$((first_seed + rounds))
    rm -rf "$scratch/set"
    python3 "$here/../damaged/damage.py" "$KR_FUZZ_ICONIC" "$scratch/set" --seed "$seed" --each 1
    for package in "$scratch/set"/*.msi; do
      count=$((count + 1))
      if ! pack_and_check "$KR_FUZZ_PACKER" --launcher "$KR_FUZZ_SEEDS/launcher.exe" "$package"; then
        cp "$package" "$KR_FUZZ_WORK/crashes/package-$seed-$(basename "$package")"
      fi
    done
    rounds=$((rounds + 1))
  done
  echo "package path: $count damaged packages in $seconds s (seeds $first_seed to $((first_seed + rounds - 1))):" \
       "$packed packed, $refused refused, $failures failures"
  (( failures == 0 ))
)

if [ "$mode" = packages ]; then
  fuzz_packages "${3:?fuzz.sh packages needs SECONDS}"
  exit
fi
corpus="$scratch/corpus"
mkdir -p "$corpus"
python3 "$KR_FUZZ_FOUND" "$corpus"
python3 "$KR_FUZZ_CRAFTED" "$KR_FUZZ_SEEDS/launcher.exe" "$KR_FUZZ_SEEDS/setup.exe" "$corpus"
cp "$KR_FUZZ_SEEDS"/* "$corpus"

if [ "$mode" = run ]; then
  seconds=${3:?fuzz.sh run needs SECONDS}
  failed=()
  summary=()
  mkdir -p "$KR_FUZZ_WORK/crashes"
  for harness in "${harnesses[@]}"; do
    work="$KR_FUZZ_WORK/corpus/$harness"
    log="$KR_FUZZ_WORK/$harness.log"
    start="$scratch/start-$harness"
    mkdir -p "$work" "$start"
    # A file that crashes the harness already would end the run before it starts: it is reported, not fuzzed.
    for file in $(inputs_of "$harness"); do
      if timeout 10 "$KR_FUZZ_BIN/fuzz-$harness" -rss_limit_mb=2048 "$file" >/dev/null 2>&1; then
        cp "$file" "$start"
      else
        echo "fuzz-$harness: $(basename "$file") crashes it already (fuzz.sh replay shows how)"
        failed+=("$harness")
      fi
    done
    echo "fuzz-$harness: $seconds s (log: $log)"
    options=()
    # The parsers read texts and version blocks of at most 64 KiB; whole images would only slow them down.
    [ "$harness" = parsers ] && options+=(-max_len=65536)
    # In a process of its own, so that a crash or a slow input is kept and fuzzing goes on: each finding of
    # the run is listed, not only the first.
    found="$scratch/found-$harness"
    mkdir -p "$found"
    "$KR_FUZZ_BIN/fuzz-$harness" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${options[@]}" -artifact_prefix="$found/" \
      "$work" "$start" >"$log" 2>&1 || true
    status=$(grep -E '^#[0-9]+: cov' "$log" | tail -1 | cut -c1-120 || true)
    # Each finding with what it broke, told by running it once more; kept under crashes/ by harness.
    for artifact in "$found"/*; do
      [ -e "$artifact" ] || continue
      failed+=("$harness")
      kept="$KR_FUZZ_WORK/crashes/$harness-$(basename "$artifact")"
      cp "$artifact" "$kept"
      what=$(timeout 60 "$KR_FUZZ_BIN/fuzz-$harness" -rss_limit_mb=2048 "$artifact" 2>&1 |
        grep -m1 -E 'fuzz: expected|==[0-9]+== ?ERROR: [A-Z]|runtime error' | cut -c1-200 || true)
      echo "  $(basename "$kept"): ${what:-slow or out of memory}"
    done
    (( $(ls "$found" | wc -l) )) && status+="  FOUND $(ls "$found" | wc -l)"
    summary+=("fuzz-$harness: $status")
  done
  echo "package path: $seconds s"
  if ! fuzz_packages "$seconds"; then
    failed+=("package path")
  fi
  printf '%s\n' "" "${summary[@]}"
  if (( ${#failed[@]} )); then
    echo "crashes in: $(printf '%s\n' "${failed[@]}" | sort -u | tr '\n' ' ')(new ones under $KR_FUZZ_WORK/crashes)" >&2
    exit 1
  fi
  exit 0
fi

work="$scratch/work"
mkdir -p "$work"
failures=0
# check LABEL COMMAND...: exits 0 or 1 within the time limit, with no sanitizer report, no temporary file left
# and no output past 64 MiB (the packer then reports the file too large). LABEL is "<file>: <check>".
check() {
  local label=$1 code=0
  shift
  (ulimit -f 65536 && exec timeout 10 "$@") >"$scratch/out" 2>"$scratch/err" </dev/null || code=$?
  local problem=""
  if (( code > 1 )); then
    problem="exit $code"
  elif grep -q 'File too large' "$scratch/err"; then
    problem="an output past 64 MiB"
  elif grep -q -E 'Sanitizer|runtime error' "$scratch/err"; then
    problem="a sanitizer report"
  elif compgen -G "$work/kvs*.tmp" >/dev/null; then
    problem="a temporary file left behind"
  fi
  if [ -n "$problem" ]; then
    failures=$((failures + 1))
    echo "FAILED: $label: $problem"
    grep -E 'ERROR|SUMMARY|runtime error|fuzz: expected|kestrel-pack:' "$scratch/err" | head -5 | cut -c1-300 || true
  fi
  rm -f "$work"/*
}
count=0
for file in "$corpus"/*; do
  name=$(basename "$file")
  count=$((count + 1))
  check "$name: --info" "$KR_FUZZ_BIN/kestrel-pack" --info "$file"
  check "$name: --info --json" "$KR_FUZZ_BIN/kestrel-pack" --info "$file" --json
  check "$name: --extract" "$KR_FUZZ_BIN/kestrel-pack" --extract "$file" "$work/product.msi"
  check "$name: packed as the launcher" "$KR_FUZZ_BIN/kestrel-pack" --launcher "$file" "$KR_FUZZ_PACKAGE" \
    "$work/setup.exe"
  check "$name: packed as the icon" "$KR_FUZZ_BIN/kestrel-pack" --launcher "$KR_FUZZ_SEEDS/launcher.exe" \
    --icon "$file" "$KR_FUZZ_PACKAGE" "$work/setup.exe"
done
for harness in "${harnesses[@]}"; do
  for file in $(inputs_of "$harness"); do
    check "$(basename "$file"): fuzz-$harness" "$KR_FUZZ_BIN/fuzz-$harness" -timeout=10 -rss_limit_mb=2048 "$file"
  done
done
echo "$count files, $failures failures"
(( failures == 0 ))
