#!/bin/bash
# The Kestrel demo: builds a small product's package, packs it into a setup.exe, installs and removes it under Wine.
# Usage: bash examples/demo.sh [BUILD_DIR]   (run by "make demo"; the build directory defaults to "build")
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-build}")
demo="$build/demo"
wine_dir="$build/wine"
run="$wine_dir/run"
msi="$demo/kestrel-demo.msi"
setup="$demo/kestrel-demo-setup.exe"
install_dir="$wine_dir/prefix/drive_c/Program Files/Kestrel Demo"

step=0
heading() {
  step=$((step + 1))
  printf '\n== %d. %s ==\n' "$step" "$1"
}

list_install_dir() {
  if [ -d "$install_dir" ] && [ -n "$(ls -A "$install_dir")" ]; then
    (cd "$install_dir" && for f in *; do printf '  %-12s %5d bytes\n' "$f" "$(stat -c %s "$f")"; done)
  else
    echo "  (nothing: $install_dir does not exist or is empty)"
  fi
}

# Runs the setup under Wine through kr-spawn, which prints the setup's full 32-bit exit code; fails when that
# code is not 0.
run_setup() {
  "$run" "$build/bin/kr-spawn.exe" "$setup_windows" "$@" | sed 's/\r$//; s/^/  /'
}

problems=()
for needed in "$build/bin/kestrel-pack" "$build/bin/kestrel-launcher.exe" "$build/bin/kr-spawn.exe"; do
  [ -e "$needed" ] || { echo "demo: $needed is missing; run \"make build\" first" >&2; exit 1; }
done
command -v wixl >/dev/null || { echo "demo: wixl is missing; run \"make deps\" first" >&2; exit 1; }

echo "Kestrel demo: a Windows Installer package becomes a setup.exe that installs and removes the product."

heading "Build the installer package with wixl"
mkdir -p "$demo"
# wixl reads the files the package installs, and its icon, relative to the directory it runs in.
python3 "$root/examples/make-icon.py" "$demo/kestrel-demo.ico" 16,32,48,256
icon=$(realpath --relative-to="$root/examples" "$demo/kestrel-demo.ico")
(cd "$root/examples" && wixl -a x64 -D IconFile="$icon" -o "$msi" kestrel-demo.wxs)
echo "  $msi ($(stat -c %s "$msi") bytes): Kestrel Demo 1.0.0, three text files for Program Files\\Kestrel Demo"
echo "  and its icon in 16, 32, 48 and 256 pixels, which the setup wears"

heading "Pack it into a setup.exe with kestrel-pack, natively on Linux"
echo "  \$ kestrel-pack $msi $setup"
"$build/bin/kestrel-pack" "$msi" "$setup" | sed 's/^/  /'
echo "  $setup: $(stat -c %s "$setup") bytes, the launcher with the package, its product code and a version block"

heading "Start a Wine session (a Windows environment in $wine_dir/prefix)"
trap '"$root/cmake/wine-session" stop "$wine_dir" >/dev/null 2>&1 || true' EXIT
"$root/cmake/wine-session" start "$wine_dir"

setup_windows=$("$run" winepath -w "$setup" | tr -d '\r')
echo "  inside Wine the setup is $setup_windows"
if [ -d "$install_dir" ]; then
  echo "  removing the Kestrel Demo an earlier run left installed"
  run_setup uninstall >/dev/null || true
fi

heading "Install silently: kestrel-demo-setup.exe /qn"
echo "  (the launcher writes the package to a temporary directory and runs msiexec /i <package> /qn)"
run_setup /qn || problems+=("the installation failed")

heading "What got installed, in C:\\Program Files\\Kestrel Demo"
echo "  seen from Linux: $install_dir"
list_install_dir
if [ -f "$install_dir/hello.txt" ]; then
  echo "  hello.txt says: $(cat "$install_dir/hello.txt")"
else
  problems+=("hello.txt was not installed")
fi

heading "Uninstall: kestrel-demo-setup.exe uninstall"
echo "  (the launcher asks Windows Installer to remove the product by its embedded product code)"
run_setup uninstall || problems+=("the removal failed")

heading "What is left in C:\\Program Files\\Kestrel Demo"
list_install_dir
if [ -n "$(ls -A "$install_dir" 2>/dev/null)" ]; then
  problems+=("files are left after the removal")
fi

heading "Done"
if (( ${#problems[@]} )); then
  printf '  demo FAILED: %s\n' "${problems[@]}"
  exit 1
fi
echo "  the setup program is $setup"
echo "  the Wine session stops now; \"make demo\" runs all of this again"
