# Configures, builds and runs a host project (HOST: subdirectory_host or fetchcontent_host) that builds
# corvane from CORVANE_SOURCE_DIR, with GoogleTest, Boost, Google Benchmark, libpng and pkg-config out of
# reach: configuring fails if anything but the library looks for them. EXTRA_ARGS (a ;-list) goes to the
# host's configure step; with INSTALL_CHECK the host's build is then installed and checked like a package.
include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

set(host_build ${WORK_DIR}/build)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/${HOST} -B ${host_build} -G Ninja
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_CXX_COMPILER_LAUNCHER=${COMPILER_LAUNCHER}
    -DCORVANE_SOURCE_DIR=${CORVANE_SOURCE_DIR}
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DCMAKE_DISABLE_FIND_PACKAGE_PNG=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON ${EXTRA_ARGS})
run(${CMAKE_COMMAND} --build ${host_build})
run(${host_build}/consumer)

if(INSTALL_CHECK)
  check_installed_package(${host_build} ${WORK_DIR}/installed)
endif()
