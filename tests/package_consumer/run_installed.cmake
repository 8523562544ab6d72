# Builds and runs the consumer against a corvane already installed in PREFIX (the Debian packages' check
# installs it in /usr of a fresh root).
include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
check_consumer(${PREFIX} ${WORK_DIR})
