# Installs the project's own build (BUILD_DIR) and builds and runs the consumer against the installed package.
include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)
check_installed_package(${BUILD_DIR} ${WORK_DIR})
