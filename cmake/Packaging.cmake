# Debian packages through CPack's DEB generator, one per install component (scripts/package builds them
# from a Release build configured with CMAKE_INSTALL_PREFIX=/usr):
#   libcorvane<SOVERSION>  runtime     the shared library
#   libcorvane-record<SOV> record      the recording library
#   libcorvane-live<SOV>   live        the live server
#   libcorvane-dev         dev         headers, CMake package, corvane.pc, the libcorvane.so link
#   corvane-bridge-sim     bridge_sim  the simulated bridge and its manual page
#   python3-corvane        python      the Python package for the interpreter the build found, and the
#                                      corvane command with its manual page
# Each also gets /usr/share/doc/<package>/{copyright,changelog.Debian.gz,changelog.gz} and its lintian
# overrides (packaging/deb/lintian-overrides, then packaging/deb/<component>/lintian-overrides), which a
# plain `cmake --install` leaves out (EXCLUDE_FROM_ALL); packaging/deb/<component>/ holds its maintainer
# scripts and triggers, if any.
set(CORVANE_PACKAGE_MAINTAINER "corvane maintainers <maintainers@corvane.invalid>"
    CACHE STRING "Maintainer field of the Debian packages")
set(CORVANE_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages (the part after the '-')")

set(deb_dir ${PROJECT_SOURCE_DIR}/packaging/deb)
set(CORVANE_DEB_VERSION ${PROJECT_VERSION}-${CORVANE_PACKAGE_RELEASE})
get_target_property(soversion corvane SOVERSION)
set(runtime_package libcorvane${soversion})
set(record_package libcorvane-record${soversion})
set(live_package libcorvane-live${soversion})

# Debian's changelog names this build; the date honours SOURCE_DATE_EPOCH for reproducible packages.
string(TIMESTAMP CORVANE_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(doc_build_dir ${PROJECT_BINARY_DIR}/packaging)
configure_file(${deb_dir}/changelog.in ${doc_build_dir}/changelog.Debian @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${doc_build_dir}/changelog COPYONLY)
foreach(name changelog.Debian changelog)
  execute_process(COMMAND gzip -9nf ${doc_build_dir}/${name} RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${doc_build_dir}/${name}")
  endif()
endforeach()

# corvane_deb_package(<component> <package> <section> <description>): the package's name, section,
# description, documentation, lintian overrides and control files.
set(CPACK_COMPONENTS_ALL)
function(corvane_deb_package component package section description)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${description}" PARENT_SCOPE)
  set(CPACK_COMPONENTS_ALL ${CPACK_COMPONENTS_ALL} ${component} PARENT_SCOPE)
  install(FILES ${deb_dir}/copyright ${doc_build_dir}/changelog.Debian.gz ${doc_build_dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)

  file(READ ${deb_dir}/lintian-overrides overrides)
  if(EXISTS ${deb_dir}/${component}/lintian-overrides)
    file(READ ${deb_dir}/${component}/lintian-overrides own)
    string(APPEND overrides "${own}")
  endif()
  file(WRITE ${doc_build_dir}/${component}/${package} "${overrides}")
  install(FILES ${doc_build_dir}/${component}/${package} DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          COMPONENT ${component} EXCLUDE_FROM_ALL)

  set(control)
  foreach(name postinst prerm postrm triggers)
    if(EXISTS ${deb_dir}/${component}/${name})
      list(APPEND control ${deb_dir}/${component}/${name})
    endif()
  endforeach()
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA "${control}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_STRICT_PERMISSION ON PARENT_SCOPE)
endfunction()

# Descriptions: a summary line, then lines of at most 79 characters (the package's control file indents them).
set(about "corvane drives a robotics scene running in a simulator through its bridge
(REST over HTTP and WebSocket streams): articulations, surface grippers and
cameras, with retries, typed errors and camera frames decoded into typed
arrays.")
corvane_deb_package(runtime ${runtime_package} libs "C++ client for a robotics simulator bridge
${about}
This package holds the shared library.")
corvane_deb_package(dev libcorvane-dev libdevel "C++ client for a robotics simulator bridge (development files)
${about}
This package holds the headers, the CMake package (find_package(corvane)) and
the pkg-config module.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(dev_depends "${runtime_package} (= ${CORVANE_DEB_VERSION})")
if(TARGET corvane_record)
  corvane_deb_package(record ${record_package} libs "recording for a C++ robotics simulator bridge client
${about}
This package holds corvane's recording library: sessions written to and read
back from MCAP files (zstd or LZ4 chunks).")
  set(CPACK_DEBIAN_RECORD_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_RECORD_PACKAGE_DEPENDS "${runtime_package} (= ${CORVANE_DEB_VERSION})")
  string(APPEND dev_depends ", ${record_package} (= ${CORVANE_DEB_VERSION})")
endif()
if(TARGET corvane_live)
  corvane_deb_package(live ${live_package} libs "live viewing for a C++ robotics simulator bridge client
${about}
This package holds corvane's live server: a session's cameras, streams and
requests served over the Foxglove WebSocket protocol, and a page to view them.")
  set(CPACK_DEBIAN_LIVE_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_LIVE_PACKAGE_DEPENDS "${runtime_package} (= ${CORVANE_DEB_VERSION})")
  string(APPEND dev_depends ", ${live_package} (= ${CORVANE_DEB_VERSION})")
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)  # only the library has a SONAME
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg-shlibdeps takes libcurl's minimum version from its symbols file: 7.86, when the WebSocket calls
# appeared, which Debian 12's own libcurl (7.88, built without WebSocket support) satisfies. The package that
# provides the libcurl this build linked must therefore also be as new as the build requires.
find_program(CORVANE_DPKG_QUERY dpkg-query)
if(CORVANE_DPKG_QUERY)
  list(GET CURL_LIBRARIES 0 curl_library)
  get_filename_component(curl_library "${curl_library}" REALPATH)
  execute_process(COMMAND ${CORVANE_DPKG_QUERY} --search ${curl_library} OUTPUT_VARIABLE curl_owner
                  RESULT_VARIABLE curl_owner_result OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(curl_owner_result EQUAL 0 AND curl_owner MATCHES "^([^:,]+)")
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1} (>= ${CORVANE_CURL_MIN_VERSION})")
  else()
    message(WARNING "No Debian package owns ${curl_library}: ${runtime_package} would not name libcurl's minimum version")
  endif()
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${dev_depends}, nlohmann-json3-dev (>= 3.11)")

if(TARGET corvane-bridge-sim)
  corvane_deb_package(bridge_sim corvane-bridge-sim devel "simulated robotics bridge for testing corvane clients
A stand-in for the simulator's bridge: it serves the REST routes and WebSocket
streams that corvane uses, with a small in-memory scene (arms, surface
grippers, cameras rendering rgb and depth), so that host programs can be
developed and tested without a simulator or GPU.")
  set(CPACK_DEBIAN_BRIDGE_SIM_PACKAGE_SHLIBDEPS ON)
endif()

if(TARGET corvane_python)
  set(py ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
  math(EXPR py_next "${Python3_VERSION_MINOR} + 1")
  corvane_deb_package(python python3-corvane python "Python client for a robotics simulator bridge
${about}
This package holds the Python module corvane for Python ${py}; numpy reads
camera outputs in place. It also holds the corvane command, for requests,
captures and streams from the shell.")
  # The extension's libcorvane is in this build, not in an installed package, so dpkg-shlibdeps finds it
  # (through the private directory) but cannot name its package: that dependency is written here.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS ON)
  get_target_property(library_dir corvane BINARY_DIR)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${library_dir})
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${py}~), python3 (<< ${Python3_VERSION_MAJOR}.${py_next}), ${runtime_package} (= ${CORVANE_DEB_VERSION}), ${record_package} (= ${CORVANE_DEB_VERSION}), ${live_package} (= ${CORVANE_DEB_VERSION})")
  # numpy and Pillow for camera captures (the corvane command writes .npy and PNG); tqdm and Pygments give the
  # command its progress bars and coloured JSON; Dask's distributed runs `corvane collect`.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "python3-numpy, python3-pil, python3-h5py, python3-snappy, python3-zstandard")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-tqdm, python3-pygments, python3-distributed")
  if(TARGET corvane-bridge-sim)
    string(APPEND CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS ", corvane-bridge-sim (= ${CORVANE_DEB_VERSION})")
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CORVANE_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE corvane)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CORVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")  # each package has its own summary line
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
