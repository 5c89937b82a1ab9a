# Headers the build writes into ${EFI_GENERATED_INCLUDE_DIR}/efi and installs
# beside the others: <efi/version.h> from project(VERSION) and
# <efi/standard_errors.h> from src/standard_errors.def (names for C and
# C++). Both are written at configure time; a change to the table re-runs
# the configuration.
set(EFI_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${EFI_GENERATED_INCLUDE_DIR}/efi/version.h @ONLY)

set(_table ${PROJECT_SOURCE_DIR}/src/standard_errors.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_table})
file(STRINGS ${_table} _entries REGEX "^EFI_STANDARD_ERROR\\(")
set(EFI_STANDARD_ERROR_CONSTANTS "")
set(EFI_STANDARD_ERROR_C_CONSTANTS "")
set(_expected 0)
foreach(_entry IN LISTS _entries)
  if(NOT _entry MATCHES "^EFI_STANDARD_ERROR\\(([0-9]+), ([A-Za-z0-9]+), (\"[^\"]*\")\\)$")
    message(FATAL_ERROR "standard_errors.def: malformed entry: ${_entry}")
  endif()
  # The codes index the table: they must run 0, 1, 2, ... with no gap.
  if(NOT CMAKE_MATCH_1 EQUAL _expected)
    message(FATAL_ERROR "standard_errors.def: code ${CMAKE_MATCH_1} where ${_expected} was expected")
  endif()
  string(APPEND EFI_STANDARD_ERROR_CONSTANTS
    "/// ${CMAKE_MATCH_3}\ninline constexpr std::uint32_t ${CMAKE_MATCH_2} = ${CMAKE_MATCH_1};\n")
  # The C name: the text in capitals, each run of other characters one '_'.
  set(_code ${CMAKE_MATCH_1})
  set(_text ${CMAKE_MATCH_3})
  string(TOUPPER "${_text}" _c_name)
  string(REGEX REPLACE "[^A-Z0-9]+" "_" _c_name "${_c_name}")
  string(REGEX REPLACE "^_|_$" "" _c_name "${_c_name}")
  string(APPEND EFI_STANDARD_ERROR_C_CONSTANTS "    EFI_ERR_${_c_name} = ${_code}, /**< ${_text} */\n")
  math(EXPR _expected "${_expected} + 1")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/standard_errors.h.in
  ${EFI_GENERATED_INCLUDE_DIR}/efi/standard_errors.h @ONLY)
unset(_table)
unset(_entries)
unset(_expected)
unset(_code)
unset(_text)
unset(_c_name)
