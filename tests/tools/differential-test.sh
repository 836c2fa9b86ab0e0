#!/bin/bash
# The native packer (build/bin/kestrel-pack) against kestrel-pack.exe under Wine over a sample of hostile and real
# files: for --info, --extract, packing with the file as the launcher and as the icon, both must give the same exit
# code, the same output file, byte for byte, and the same lines (paths aside). The Windows packer runs every
# command from one batch file, so that Wine starts once.
# Usage: differential-test.sh <bin directory> <packtest package> <package with an executable icon>
#                             <craft.py> <fuzz directory with seeds.py and craft-found.py>
set -u
bin=$(cd "$1" && pwd)
packtest=$2
iconic=$3
craft=$4
fuzz_dir=$5
run="$bin/../wine/run"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export PYTHONDONTWRITEBYTECODE=1

in="$scratch/in"
mkdir -p "$in" "$scratch/crafted" "$scratch/seeds" "$scratch/native" "$scratch/windows"
cp "$packtest" "$scratch/pkg.msi"
cp "$iconic" "$scratch/iconic.msi"
"$bin/kestrel-pack" --launcher "$bin/kestrel-launcher.exe" "$scratch/pkg.msi" "$in/setup.exe" >/dev/null
python3 "$craft" "$bin/kestrel-launcher.exe" "$in/setup.exe" "$scratch/crafted"
python3 "$fuzz_dir/seeds.py" "$scratch/seeds"
python3 "$fuzz_dir/craft-found.py" "$scratch/seeds"
# The sample: crafted faults of several kinds, the fuzzers' seeds and finds with icons (64-bit and 32-bit) and
# hostile texts, and real files: a setup, the launcher, the test program with icons, and Wine's own programs.
for name in icon-group-repeats-image digest-and-code-control-oversize duplicate-identifiers truncated \
  debug-after-rsrc; do
  cp "$scratch/crafted/$name.exe" "$in/"
done
for name in mini-setup.exe iconic.exe iconic-32-bit.exe launcher-icon-groups.exe setup-many-icon-sizes.exe \
  found-product-code-control.exe; do
  cp "$scratch/seeds/$name" "$in/"
done
cp "$bin/kestrel-launcher.exe" "$bin/kr-iconic.exe" "$in/"
prefix=$(grep -o 'WINEPREFIX="[^"]*"' "$run" | cut -d'"' -f2)
for real in system32/notepad.exe regedit.exe; do
  [ -f "$prefix/drive_c/windows/$real" ] && cp "$prefix/drive_c/windows/$real" "$in/wine-${real/\//-}"
done
# The files that are launchers, or nearly: packed as the launcher too.
launchers=" kestrel-launcher.exe launcher-icon-groups.exe iconic.exe debug-after-rsrc.exe duplicate-identifiers.exe "
# The setups: read with --info --json too.
setups=" setup.exe mini-setup.exe digest-and-code-control-oversize.exe icon-group-repeats-image.exe "

# Each case: a label, then the arguments relative to the packers' working directories (native/, windows/), with
# its output file, if any, named out-<n>.
labels=()
commands=()
add() { # add <label> <argument>...
  labels+=("$1")
  shift
  local quoted="" arg
  for arg in "$@"; do quoted+=" \"$arg\""; done
  commands+=("$quoted")
}
for file in "$in"/*; do
  name=$(basename "$file")
  add "$name info" --info "../in/$name"
  [[ $setups == *" $name "* ]] && add "$name info-json" --info --json "../in/$name"
  add "$name extract" --extract "../in/$name" "out-${#labels[@]}"
  [[ $launchers == *" $name "* ]] && add "$name launcher" --launcher "../in/$name" ../pkg.msi "out-${#labels[@]}"
  add "$name icon" --launcher ../in/kestrel-launcher.exe --icon "../in/$name" ../pkg.msi "out-${#labels[@]}"
done
add "iconic.msi package-icon" --launcher ../in/kestrel-launcher.exe ../iconic.msi "out-${#labels[@]}"
"$bin/kestrel-pack" --launcher "$bin/kestrel-launcher.exe" --icon "$bin/kr-iconic.exe" "$scratch/pkg.msi" \
  "$scratch/native/own.exe" >/dev/null
cp "$scratch/native/own.exe" "$scratch/windows/own.exe"
add "own.exe icon-is-output" --launcher ../in/kestrel-launcher.exe --icon own.exe ../pkg.msi own.exe


windows_dir=$("$run" winepath -w "$scratch" | tr -d '\r')
windows_packer=$("$run" winepath -w "$bin/kestrel-pack.exe" | tr -d '\r')
batch="$scratch/run.bat"
{
  echo "@echo off"
  echo "cd /d \"$windows_dir\\windows\""
  for i in "${!labels[@]}"; do
    echo "\"$windows_packer\"${commands[i]} >..\\w$i.out 2>..\\w$i.err"
    echo "echo %ERRORLEVEL% >..\\w$i.code"
  done
} | sed 's/$/\r/' >"$batch"
"$run" cmd /c "$windows_dir\\run.bat" >/dev/null 2>&1
for i in "${!labels[@]}"; do
  (cd "$scratch/native" && eval "\"$bin/kestrel-pack\"${commands[i]}" >"../n$i.out" 2>"../n$i.err"
   echo $? >"../n$i.code")
done

failures=0
# The Windows packer's lines with Linux paths, its working directory read as the native one, and Linux line ends.
linux_lines() {
  tr -d '\r' <"$1" | WINDOWS_DIR=$windows_dir DIR=$scratch perl -pe '
    s/\Q$ENV{WINDOWS_DIR}\E([^\x27"]*)/my $rest = $1; $rest =~ tr{\\}{\/}; "$ENV{DIR}$rest"/ge;
    s/\Q$ENV{DIR}\E\/windows/$ENV{DIR}\/native/g'
}
# The JSON object without the setup's path, its error's paths as Linux paths: JSON escapes a Windows path's
# backslashes.
json_lines() {
  WINDOWS_DIR=$windows_dir DIR=$scratch python3 -c '
import json, os, sys
facts = json.loads(sys.stdin.read())
facts.pop("setup")
if "error" in facts:
    windows, linux = os.environ["WINDOWS_DIR"], os.environ["DIR"]
    text = facts["error"]
    while windows in text:
        start = text.index(windows)
        end = text.find("\x27", start)
        end = len(text) if end < 0 else end
        text = text[:start] + linux + text[start + len(windows):end].replace("\\", "/") + text[end:]
    facts["error"] = text.replace(linux + "/windows", linux + "/native")
print(json.dumps(facts, sort_keys=True))'
}
for i in "${!labels[@]}"; do
  label=${labels[i]}
  problems=()
  [ "$(tr -d '\r ' <"$scratch/w$i.code")" = "$(cat "$scratch/n$i.code")" ] ||
    problems+=("exit codes $(cat "$scratch/n$i.code") (native) and $(tr -d '\r ' <"$scratch/w$i.code") (Windows)")
  for stream in out err; do
    if [[ $label == *info-json ]] && [ $stream = out ]; then
      cmp -s <(json_lines <"$scratch/n$i.$stream") <(tr -d '\r' <"$scratch/w$i.$stream" | json_lines) ||
        problems+=("different standard $stream")
    else
      cmp -s "$scratch/n$i.$stream" <(linux_lines "$scratch/w$i.$stream") || problems+=("different standard $stream")
    fi
  done
  output=$(echo "${commands[i]}" | grep -o '"out-[0-9]*"\|"own.exe"$' | tr -d '"')
  if [ -n "$output" ]; then
    if [ -e "$scratch/native/$output" ] || [ -e "$scratch/windows/$output" ]; then
      cmp -s "$scratch/native/$output" "$scratch/windows/$output" || problems+=("different output files")
    fi
  fi
  if (( ${#problems[@]} )); then
    failures=$((failures + 1))
    echo "FAILED: $label: $(IFS=';'; echo "${problems[*]}")"
    head -c 600 "$scratch/n$i.err"
    linux_lines "$scratch/w$i.err" | head -c 600
  fi
done
echo "${#labels[@]} cases over $(ls "$in" | wc -l) files, $failures disagreements"
(( failures == 0 ))
