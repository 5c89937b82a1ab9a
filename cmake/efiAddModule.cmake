# efi_add_module(<target> [EXCLUDE_FROM_ALL] <source>...)
#
# Builds an extension module from the sources: a MODULE library
# (lib<target>.so, which the host opens with dlopen) linked to efi::efi,
# compiled with the flags a module needs:
# - -fnon-call-exceptions (from efi::efi; -fexceptions too for C sources), so
#   that a worksheet error raised by Efi::Throw, or a trapped floating-point
#   fault at any instruction, can leave the module's functions as an
#   exception;
# - hidden visibility, so that the module exports its table (efi_module,
#   made by EFI_MODULE_TABLE) and nothing that could clash with another
#   module's or the host's symbols;
# - C++20 (efi::efi asks for it), the language of the host's own API.
function(efi_add_module target)
  cmake_parse_arguments(PARSE_ARGV 1 _efi_module "EXCLUDE_FROM_ALL" "" "")
  if(NOT _efi_module_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "efi_add_module(${target}): no sources given")
  endif()
  set(_exclude)
  if(_efi_module_EXCLUDE_FROM_ALL)
    set(_exclude EXCLUDE_FROM_ALL)
  endif()
  add_library(${target} MODULE ${_exclude} ${_efi_module_UNPARSED_ARGUMENTS})
  target_link_libraries(${target} PRIVATE efi::efi)
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()
