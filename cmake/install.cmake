include(CMakePackageConfigHelpers)

install(TARGETS efi vrnrun EXPORT efiTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/efi DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/vrnrun DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT efiTargets NAMESPACE efi:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/efi)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/efiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/efiConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/efi)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/efiConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/efiConfig.cmake ${PROJECT_BINARY_DIR}/efiConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/efi)

# The .pc file finds its prefix from where it is installed, so a package
# installed with --prefix (or moved) still points at itself.
file(RELATIVE_PATH EFI_PC_PREFIX_FROM_PCDIR "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(${PROJECT_SOURCE_DIR}/cmake/efi.pc.in ${PROJECT_BINARY_DIR}/efi.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/efi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
