# The Python tests, run by ctest with the build tree's package first on the path:
#   python_tests    pytest over python/tests (against the simulated bridge and local canned servers)
#   python_fleet    pytest over test_fleet.py (Dask clusters on 127.0.0.1 driving simulated bridges)
#   python_types    mypy: the package, its tests and the example against the stubs
#   python_stubs    mypy's stubtest: the hand-written stubs of corvane._corvane against the built module
#   python_install  the package imported from a prefix install and from `pip install .` into a venv
set(pytest_env "PYTHONPATH=${CMAKE_CURRENT_BINARY_DIR}")
# An ASan build (scripts/sanitize) loads an instrumented extension into an uninstrumented interpreter:
# the sanitizer runtime must come first, with libstdc++ right after it (its exception interceptors look
# for __cxa_throw at start-up, and python3 itself does not load libstdc++); Python's allocator steps
# aside so ASan sees every block, and the interpreter's own allocations at exit are not ours to report.
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=[^ ]*address")
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    set(asan_runtime libclang_rt.asan-${CMAKE_SYSTEM_PROCESSOR}.so)
  else()
    set(asan_runtime libasan.so)
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${asan_runtime}
                  OUTPUT_VARIABLE asan OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.so
                  OUTPUT_VARIABLE stdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(preload "${asan} ${stdcxx}")
  list(APPEND pytest_env "LD_PRELOAD=${preload}" "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"
       "PYTHONMALLOC=malloc")
  set(sanitized ON)
  # The simulated bridge carries its own (static) sanitizer runtime: the interpreter's preload must not reach it.
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/bridge-sim-unpreloaded
       CONTENT "#!/bin/sh\nunset LD_PRELOAD\nexec \"$<TARGET_FILE:corvane-bridge-sim>\" \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND pytest_env "CORVANE_BRIDGE_SIM=${CMAKE_CURRENT_BINARY_DIR}/bridge-sim-unpreloaded")
endif()

add_test(NAME python_tests
  COMMAND ${Python3_EXECUTABLE} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/tests
          --ignore=${CMAKE_CURRENT_SOURCE_DIR}/tests/test_fleet.py)
set_tests_properties(python_tests PROPERTIES ENVIRONMENT "${pytest_env}" LABELS python TIMEOUT 300)

# corvane.fleet on its own: it starts Dask clusters (a local one, and a scheduler and workers by Dask's own
# command line), so it runs next to the other Python tests rather than after them.
add_test(NAME python_fleet
  COMMAND ${Python3_EXECUTABLE} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/tests/test_fleet.py)
set_tests_properties(python_fleet PROPERTIES ENVIRONMENT "${pytest_env}" LABELS python TIMEOUT 300)

add_test(NAME python_types
  COMMAND ${Python3_EXECUTABLE} -m mypy --config-file ${PROJECT_SOURCE_DIR}/pyproject.toml
          --cache-dir ${CMAKE_CURRENT_BINARY_DIR}/mypy-cache
          ${CMAKE_CURRENT_SOURCE_DIR}/corvane ${CMAKE_CURRENT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR}/doc
          ${PROJECT_SOURCE_DIR}/examples/quickstart.py)
set_tests_properties(python_types PROPERTIES ENVIRONMENT "MYPYPATH=${CMAKE_CURRENT_SOURCE_DIR}" LABELS python TIMEOUT 300)

# The stubs as written (MYPYPATH) against the module as built (PYTHONPATH); the allowlist says, entry by entry,
# what stubtest cannot see right.
add_test(NAME python_stubs
  COMMAND ${Python3_EXECUTABLE} -m mypy.stubtest --mypy-config-file ${PROJECT_SOURCE_DIR}/pyproject.toml
          --allowlist ${CMAKE_CURRENT_SOURCE_DIR}/tests/stubtest-allowlist.txt corvane._corvane)
set_tests_properties(python_stubs PROPERTIES ENVIRONMENT "${pytest_env};MYPYPATH=${CMAKE_CURRENT_SOURCE_DIR}"
                     LABELS python TIMEOUT 300)

# Slow (pip builds the package again, in its own folder): not in sanitizer builds, where it adds nothing.
if(NOT sanitized)
  add_test(NAME python_install
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/tests/check_install.py
            ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CORVANE_PYTHON_INSTALL_DIR})
  set_tests_properties(python_install PROPERTIES LABELS python TIMEOUT 1200)
endif()
