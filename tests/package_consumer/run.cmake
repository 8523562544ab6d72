# Helpers for the consumer tests (cmake -P scripts).
set(CONSUMER_DIR ${CMAKE_CURRENT_LIST_DIR}/consumer)

# run(<command>...): runs it and stops with its output when it fails.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

# check_installed_package(<build dir> <work dir>): installs the build into a scratch prefix, then checks the
# consumer against it.
function(check_installed_package build_dir work_dir)
  set(prefix ${work_dir}/prefix)
  file(REMOVE_RECURSE ${work_dir})
  run(${CMAKE_COMMAND} --install ${build_dir} --prefix ${prefix})
  check_consumer(${prefix} ${work_dir})
endfunction()

# check_consumer(<prefix> <work dir>): builds and runs the consumer against corvane installed in the prefix,
# twice: through find_package(corvane CONFIG) and through pkg-config (with --static when the installed
# library is a static archive).
function(check_consumer prefix work_dir)
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${work_dir}/cmake-consumer -G Ninja
      -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
  run(${CMAKE_COMMAND} --build ${work_dir}/cmake-consumer)
  run(${work_dir}/cmake-consumer/consumer)

  file(GLOB pc_files ${prefix}/lib*/pkgconfig/corvane.pc ${prefix}/lib/*/pkgconfig/corvane.pc)
  if(NOT pc_files)
    message(FATAL_ERROR "no corvane.pc under ${prefix}")
  endif()
  list(GET pc_files 0 pc_file)
  get_filename_component(pc_dir ${pc_file} DIRECTORY)
  get_filename_component(lib_dir ${pc_dir} DIRECTORY)
  set(pc_args --cflags --libs)
  if(NOT EXISTS ${lib_dir}/libcorvane.so)
    list(APPEND pc_args --static)
  endif()
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  execute_process(COMMAND pkg-config ${pc_args} corvane OUTPUT_VARIABLE flags ERROR_VARIABLE errors
                  RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config cannot use the installed corvane.pc: ${errors}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(${CXX_COMPILER} ${CONSUMER_DIR}/main.cpp ${flags} -o ${work_dir}/pc-consumer)
  set(ENV{LD_LIBRARY_PATH} ${lib_dir})
  run(${work_dir}/pc-consumer)
endfunction()
