# cmake --install: headers, the libraries, a CMake package (corvane::corvane, corvane::record, corvane::live),
# corvane.pc, corvane-record.pc and corvane-live.pc.
# Components, one per Debian package (cmake/Packaging.cmake): runtime (the shared library), record (the
# recording library), live (the live server), dev (the rest);
# tools/bridge-sim and python/ add bridge_sim and python.
include(CMakePackageConfigHelpers)

set(CORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/corvane)

install(TARGETS corvane EXPORT corvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET corvane_record)
  install(TARGETS corvane_record EXPORT corvaneTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT record NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT record
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()
if(TARGET corvane_live)
  install(TARGETS corvane_live EXPORT corvaneTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT live NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT live
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()
install(DIRECTORY include/corvane DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES ${CORVANE_GENERATED_INCLUDE_DIR}/corvane/version.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/corvane COMPONENT dev)
# The Debian packages carry the licence in their copyright files instead.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvane COMPONENT license)

install(EXPORT corvaneTargets NAMESPACE corvane:: DESTINATION ${CORVANE_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/corvaneConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/corvaneConfig.cmake
  INSTALL_DESTINATION ${CORVANE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/corvaneConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/corvaneConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/corvaneConfigVersion.cmake
  DESTINATION ${CORVANE_CMAKE_DIR} COMPONENT dev)

# Relocatable: the prefix is found from where the .pc file lies. libcurl is named only for a static corvane
# (pkg-config --static): a shared one links it itself, and pkg-config fails on a Requires.private module it
# cannot find, even without --static, so a host would need libcurl's development files for nothing.
file(RELATIVE_PATH CORVANE_PC_RELATIVE_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
if(CORVANE_SHARED)
  set(CORVANE_PC_REQUIRES_PRIVATE "")
else()
  set(CORVANE_PC_REQUIRES_PRIVATE "Requires.private: libcurl >= ${CORVANE_CURL_MIN_VERSION}")
endif()
configure_file(cmake/corvane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/corvane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
get_property(CORVANE_MEDIA_PC_LIBS GLOBAL PROPERTY corvane_media_pc_libs)
if(TARGET corvane_record)
  if(CORVANE_SHARED)
    set(CORVANE_RECORD_PC_PRIVATE "")
  else()
    # The writer thread, the compressors and the video and image encoders the static library carries. The
    # media libraries are named plainly, as the CMake package does: their own Requires.private would ask
    # pkg-config --static for static archives of every format library, which Debian does not ship.
    set(CORVANE_RECORD_PC_PRIVATE "Requires.private: libzstd liblz4 libdeflate zlib
Libs.private: -pthread ${CORVANE_MEDIA_PC_LIBS}")
  endif()
  configure_file(cmake/corvane-record.pc.in ${CMAKE_CURRENT_BINARY_DIR}/corvane-record.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corvane-record.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT dev)
endif()
if(TARGET corvane_live)
  configure_file(cmake/corvane-live.pc.in ${CMAKE_CURRENT_BINARY_DIR}/corvane-live.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corvane-live.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT dev)
endif()
