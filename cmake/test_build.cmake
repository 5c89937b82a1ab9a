# efi_test_build(<name> <library> <source> <definition> <map> [<from> <to>])
#
# A test build of the shared <library>, never installed: the library's own
# objects, except <source> (a path relative to the current source
# directory), which is compiled again with the PUBLIC definition
# <definition> that switches its test hooks on. It links what <library>
# links, with the library <from> replaced by <to> (its test build), and
# exports what <map> lists. Test code that includes the hooks sees the same
# definition.
function(efi_test_build name library source definition map)
  string(REGEX REPLACE "([.+])" "\\\\\\1" _object "/${source}.o")
  add_library(${name} SHARED
    $<FILTER:$<TARGET_OBJECTS:${library}>,EXCLUDE,${_object}$>
    ${source})
  add_dependencies(${name} ${library})
  target_compile_definitions(${name} PUBLIC ${definition})
  target_include_directories(${name}
    PUBLIC $<TARGET_PROPERTY:${library},INTERFACE_INCLUDE_DIRECTORIES>
    PRIVATE $<TARGET_PROPERTY:${library},INCLUDE_DIRECTORIES>)
  target_compile_options(${name} PUBLIC $<TARGET_PROPERTY:${library},INTERFACE_COMPILE_OPTIONS>)
  target_compile_features(${name} PUBLIC cxx_std_20)
  set(_links $<TARGET_PROPERTY:${library},LINK_LIBRARIES>)
  if(ARGC GREATER 6)
    target_link_libraries(${name} PUBLIC ${ARGV6})
    set(_links $<FILTER:${_links},EXCLUDE,^${ARGV5}$>)
  endif()
  target_link_libraries(${name} PRIVATE ${_links})
  efi_version_script(${name} ${map})
endfunction()
