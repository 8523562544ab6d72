# corvane_target_defaults(<target> [LIBRARY | INTERNAL] [INCLUDES <dir>...])
# What every target of the project shares: C++17, -Wall -Wextra -Wpedantic (errors with CORVANE_WERROR),
# and its include directories:
#   LIBRARY   built from the library's sources: the public headers (the source tree and the generated
#             version.hpp, or the install tree once installed), src/ for the sources, hidden visibility
#   INTERNAL  sees the library's public and internal headers (white-box tests, fuzz targets)
#   INCLUDES  further directories, relative to the calling folder (a support library's own headers)
# A library passes its includes on to what links it; an executable keeps them.
function(corvane_target_defaults target)
  cmake_parse_arguments(ARG "LIBRARY;INTERNAL" "" "INCLUDES" ${ARGN})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(scope PRIVATE)
  else()
    set(scope PUBLIC)
  endif()

  target_compile_features(${target} ${scope} cxx_std_17)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic $<$<BOOL:${CORVANE_WERROR}>:-Werror>)
  if(ARG_LIBRARY OR ARG_INTERNAL)
    target_include_directories(${target} ${scope}
      $<BUILD_INTERFACE:${corvane_SOURCE_DIR}/include>
      $<BUILD_INTERFACE:${CORVANE_GENERATED_INCLUDE_DIR}>)
  endif()
  if(ARG_LIBRARY)
    target_include_directories(${target} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    target_include_directories(${target} PRIVATE ${corvane_SOURCE_DIR}/src)
    set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  elseif(ARG_INTERNAL)
    target_include_directories(${target} ${scope} ${corvane_SOURCE_DIR}/src)
  endif()
  if(ARG_INCLUDES)
    target_include_directories(${target} ${scope} ${ARG_INCLUDES})
  endif()
endfunction()
