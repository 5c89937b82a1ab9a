include(CMakePackageConfigHelpers)

# efiTargets: efi::efi (and the runtime it links), for extension modules.
install(TARGETS efi vrnrun EXPORT efiTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# efiHostTargets: efi::host, for host programs (the "host" component).
install(TARGETS vrnfaults efi_host EXPORT efiHostTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/efi DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${EFI_GENERATED_INCLUDE_DIR}/efi DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/vrnrun DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(_efi_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/efi)
install(EXPORT efiTargets NAMESPACE efi:: DESTINATION ${_efi_cmake_dir})
install(EXPORT efiHostTargets NAMESPACE efi:: DESTINATION ${_efi_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/efiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/efiConfig.cmake
  INSTALL_DESTINATION ${_efi_cmake_dir})
# Before 1.0 a minor version may change the ABI (0.2 made the call
# allocator's statics per thread): a project asking for 0.1 is not given 0.2.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/efiConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/efiConfig.cmake ${PROJECT_BINARY_DIR}/efiConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/efiAddModule.cmake
  DESTINATION ${_efi_cmake_dir})

# The .pc files find their prefix from where they are installed, so a
# package installed with --prefix (or moved) still points at itself. They
# set no language standard (a C module includes <efi/module.h> too) and no
# run-time search path (where the libraries are found is the program's
# business: the loader's default search, LD_LIBRARY_PATH or its own rpath).
file(RELATIVE_PATH EFI_PC_PREFIX_FROM_PCDIR "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
foreach(_pc efi efi-host)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${_pc}.pc.in ${PROJECT_BINARY_DIR}/${_pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${_pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
