#!/usr/bin/env bash
# Compiles the public headers as authors and hosts do, with -Wall -Wextra
# -Wpedantic (and -Wold-style-cast for C++) as errors, under GCC and clang:
# every header alone, and all of them in one file that also defines a
# module table, as C++17 and C++20 (the host headers and the typed layer
# <efi/bind.h>, which need C++20, as C++20 only); the C headers as C99 and
# C11 besides.
# Usage: compile_headers.sh INCLUDE_DIR GENERATED_INCLUDE_DIR HOST_INCLUDE_DIR
set -euo pipefail
inc=$1
gen=$2
host_inc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
includes=(-I"$inc" -I"$gen" -I"$host_inc")
warnings=(-Wall -Wextra -Wpedantic -Werror -fsyntax-only)
# The headers a module written in C includes.
c_headers=(efi/capi.h efi/module.h efi/standard_errors.h efi/version.h efi/export.h)

native=()
for h in "$inc"/efi/*.h "$gen"/efi/*.h; do
  [[ $(basename "$h") == bind.h ]] || native+=("efi/$(basename "$h")")
done
host=(efi/bind.h)
for h in "$inc"/efi/host/*.h; do host+=("efi/host/$(basename "$h")"); done

# A translation unit that includes the given headers and defines a table.
unit() {
  for h in "$@"; do echo "#include <$h>"; done
  printf '%s\n' '#include <efi/module.h>' \
    'static const efi_function_entry kNone[] = {{"none", 0, 1, 0, 0, 0, 0}};' \
    'EFI_MODULE_TABLE(kNone);'
}

status=0
check() {  # check LANGUAGE COMPILER STANDARD HEADER...
  local lang=$1 cc=$2 std=$3 extra=()
  shift 3
  [[ $lang == c++ ]] && extra=(-Wold-style-cast)
  unit "$@" >"$work/unit"
  if ! "$cc" -x "$lang" -std="$std" "${warnings[@]}" "${extra[@]}" "${includes[@]}" "$work/unit" 2>"$work/errors"; then
    if (($# > 1)); then echo "$cc -std=$std: the $# headers together do not compile clean:"
    else echo "$cc -std=$std: $1 does not compile clean:"; fi
    head -n 20 "$work/errors"
    status=1
  fi
}

for cxx in g++ clang++; do
  check c++ "$cxx" c++17 "${native[@]}"
  check c++ "$cxx" c++20 "${native[@]}" "${host[@]}"
done
for cc in gcc clang; do
  for std in c99 c11; do check c "$cc" "$std" "${c_headers[@]}"; done
done
# Each header on its own: it includes what it needs.
for h in "${native[@]}"; do check c++ g++ c++17 "$h"; done
for h in "${host[@]}"; do check c++ g++ c++20 "$h"; done
for h in "${c_headers[@]}"; do check c gcc c11 "$h"; done
[[ $status == 0 ]] && echo "headers compile clean: ${#native[@]} native, ${#host[@]} C++20 (host and typed layer), ${#c_headers[@]} C"
exit $status
