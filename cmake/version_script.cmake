# efi_version_script(<target> <map>): links the shared library <target> with
# the linker version script <map>, which lists the families of symbols it
# exports, and relinks it when the list changes.
function(efi_version_script target map)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()
