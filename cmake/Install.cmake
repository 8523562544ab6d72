# cmake --install: headers, the library, a CMake package (corvane::corvane) and corvane.pc.
include(CMakePackageConfigHelpers)

set(CORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/corvane)

install(TARGETS corvane EXPORT corvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/corvane DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CORVANE_GENERATED_INCLUDE_DIR}/corvane/version.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/corvane)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvane)

install(EXPORT corvaneTargets NAMESPACE corvane:: DESTINATION ${CORVANE_CMAKE_DIR})
configure_package_config_file(cmake/corvaneConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/corvaneConfig.cmake
  INSTALL_DESTINATION ${CORVANE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/corvaneConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/corvaneConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/corvaneConfigVersion.cmake
  DESTINATION ${CORVANE_CMAKE_DIR})

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH CORVANE_PC_RELATIVE_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/corvane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/corvane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
