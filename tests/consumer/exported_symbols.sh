#!/usr/bin/env bash
# Lists the dynamic symbols each shipped library defines (demangled) and
# fails on any outside its API: test hooks, standard-library instantiations,
# internal helpers; and fails when one holds a path of the machine that
# built it. Usage: exported_symbols.sh LIBEFI LIBVRNRUN LIBVRNFAULTS [SOURCE_DIR]
# (without SOURCE_DIR, or with it empty, the path check is left out)
set -euo pipefail

# check LIBRARY ALLOWED [DENIED]: ALLOWED and DENIED are extended regular
# expressions over demangled names; a symbol must match ALLOWED and not DENIED.
check() {
  local lib=$1 allowed=$2 denied=${3:-'^$'} names bad
  names=$(nm -D --defined-only --demangle "$lib" | cut -d' ' -f3- | sort -u)
  bad=$(grep -Ev "$allowed" <<<"$names"; grep -E "$denied" <<<"$names") || true
  if [[ -n $bad ]]; then
    echo "$(basename "$lib") exports symbols outside its API:"
    echo "$bad"
    return 1
  fi
  echo "$(basename "$lib"): $(wc -l <<<"$names") symbols, all API"
}

tables='^(typeinfo|typeinfo name|vtable) for'
# A thread's pinned-array table is made on its first use, through these.
tls='^TLS (init|wrapper) function for PinnedArrayMemory::Handles$'
status=0
check "$1" "^(Efi::|Vrn::Run::Ref<Vrn::Run::HostValue> Efi::|SE_([A-Za-z]+_)?Exception::|\
(array_val|string_val|dblptr|IqlAllocator|PinnedArrayMemory|CHTTPRedirector|_com_error|kstracer|ks)::|\
(matrix_copy|matrix_copy_add_imag|symmetry|renormalize_matrix_cols|pack_two_rr|pack_two_r|pack_three_c|\
MtoVcol|zero_col|pure_real|PinnedArrayMemoryAlloc|diagnostic_level|format_string\[abi:cxx11\])\(|\
_clearfp$|efi_(throw|throw_code|call_memory|matrix_result|call_host)$|$tables (Efi::|SE_|Qlt::|_com_error$)|$tls)" 'Efi::detail::' || status=1
check "$2" "^((Vrn|Qlt)::|Vrn::Run::Ref<[^ ]*> (Vrn|Qlt)::|$tables (Vrn|Qlt)::)" 'g_alloc_fault' || status=1
check "$3" "^(Vrn::Run::InstallFaultTranslation\(\)$|$tables SE_)" || status=1
# Built with the source and build trees mapped away, a library holds neither
# (in its data, debug information or run-time search path): the same
# sources give the same bytes wherever they are built.
for lib in "$1" "$2" "$3"; do
  if [[ -n ${4:-} ]] && LC_ALL=C grep -qaF "$4/" "$lib"; then
    echo "$(basename "$lib") holds the build machine's path $4/:"
    strings -a "$lib" | grep -F "$4/" | sort -u | head -n 5
    status=1
  fi
done
exit $status
