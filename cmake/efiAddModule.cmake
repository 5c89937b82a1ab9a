# efi_add_module(<target> [EXCLUDE_FROM_ALL] <source>...)
#
# Builds an extension module from the sources: a MODULE library
# (lib<target>.so, which the host opens with dlopen) linked to efi::efi,
# compiled with the flags a module needs:
# - -fnon-call-exceptions and -ftrapping-math (from efi::efi, after the
#   target's own flags; -fexceptions too for C sources), so that a worksheet
#   error raised by Efi::Throw, or a trapped floating-point fault at any
#   instruction, can leave the module's functions as an exception, even
#   when the module asks for -ffast-math (which assumes nothing traps);
# - hidden visibility, so that the module exports its table (efi_module,
#   made by EFI_MODULE_TABLE) and nothing that could clash with another
#   module's or the host's symbols;
# - C++20 (efi::efi asks for it), the language of the host's own API.
# Clang has no exceptions from non-call instructions: a trapped fault still
# ends the call with its error, but neither a catch inside the module nor
# the destructors between the faulting instruction and the host run. Said
# once per module, at configure time.
function(_efi_module_compiler_notice target)
  get_property(_languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  foreach(_lang C CXX)
    if(_lang IN_LIST _languages AND CMAKE_${_lang}_COMPILER_ID MATCHES "Clang")
      message(STATUS "efi_add_module(${target}): ${CMAKE_${_lang}_COMPILER_ID} cannot unwind from a faulting "
        "instruction; a processor fault in this module ends its call as an error without running the "
        "module's own catch blocks or destructors (see docs/modules.md, Compilers)")
      return()
    endif()
  endforeach()
endfunction()

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
  _efi_module_compiler_notice(${target})
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()
