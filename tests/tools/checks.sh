#!/bin/bash
# Shared by the packer's shell tests: named checks that count failures, and a packed setup installing and
# removing the packtest product under Wine. Sourced after `run` (the Wine runner) and `bin` are set.
failures=0

check() { # check <description> <command>...: passes when the command succeeds
  local description=$1
  shift
  if "$@"; then
    echo "ok: $description"
  else
    echo "FAILED: $description"
    failures=$((failures + 1))
  fi
}

check_install_and_removal() { # check_install_and_removal <what the setup is> <setup.exe, Linux path>
  local what=$1 setup installed
  setup=$("$run" winepath -w "$2" | tr -d '\r')
  installed="$("$run" winepath -u 'C:\Program Files (x86)\Kestrel Packtest' | tr -d '\r')"
  check "nothing installed before" test ! -e "$installed/packtest.txt"
  check "the $what setup installs silently" "$run" "$bin/kr-spawn.exe" "$setup" /qn
  check "the product's files are there" test -s "$installed/packtest.txt"
  check "the $what setup removes it" "$run" "$bin/kr-spawn.exe" "$setup" uninstall
  check "the product's files are gone" test ! -e "$installed/packtest.txt"
}
