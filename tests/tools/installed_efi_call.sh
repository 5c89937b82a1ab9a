#!/usr/bin/env bash
# The installed efi-call: the bundled sample lies in the modules folder, not
# among the libraries, and efi-call finds it there; the manual is installed;
# libefi finds the installed efi-worker for an isolated module.
set -euo pipefail
build_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
prefix=$work/prefix
modules=$(ls -d "$prefix"/lib*/efi/modules)
test -f "$modules/libefi_sample.so"
if ls "$prefix"/lib*/libefi_sample.so >/dev/null 2>&1; then
  echo "the sample is installed beside the libraries" >&2
  exit 1
fi
test -f "$prefix/share/man/man1/efi-call.1"
result=$("$prefix/bin/efi-call" sample_add 1 2)
test "$result" = 3
result=$(env -u EFI_WORKER "$prefix/bin/efi-call" --isolate sample_add 1 2)
test "$result" = 3
echo ok
