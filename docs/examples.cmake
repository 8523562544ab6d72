# The documentation's examples (docs/examples.py): each C++ block of the pages and the README becomes an
# executable here, and the test docs_examples runs them and the Python blocks, each against its own
# simulated bridge. A page's change reconfigures, so the list follows the pages.
file(GLOB_RECURSE doc_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
list(FILTER doc_pages EXCLUDE REGEX "/docs/api\\.md$")  # doxygen's main page: no examples
list(PREPEND doc_pages ${PROJECT_SOURCE_DIR}/README.md)
set(examples_script ${PROJECT_SOURCE_DIR}/docs/examples.py)
set(examples_dir ${PROJECT_BINARY_DIR}/docs-examples)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${doc_pages} ${examples_script})
execute_process(COMMAND ${Python3_EXECUTABLE} ${examples_script} extract-cpp ${examples_dir} ${doc_pages}
                WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE cpp_examples RESULT_VARIABLE extracted ERROR_VARIABLE extract_error)
if(NOT extracted EQUAL 0)
  message(FATAL_ERROR "docs/examples.py: ${extract_error}")
endif()
string(REPLACE "\n" ";" cpp_examples "${cpp_examples}")
set(example_targets)
foreach(name IN LISTS cpp_examples)
  if(name)
    add_executable(docs-example-${name} ${examples_dir}/${name}.cpp)
    set_target_properties(docs-example-${name} PROPERTIES OUTPUT_NAME ${name} RUNTIME_OUTPUT_DIRECTORY ${examples_dir})
    target_link_libraries(docs-example-${name} PRIVATE corvane::corvane)
    if(TARGET corvane::record)  # the recording examples
      target_link_libraries(docs-example-${name} PRIVATE corvane::record)
    endif()
    if(TARGET corvane::live)  # the live-viewing examples
      target_link_libraries(docs-example-${name} PRIVATE corvane::live)
    endif()
    corvane_target_defaults(docs-example-${name})
    list(APPEND example_targets docs-example-${name})
  endif()
endforeach()
add_custom_target(docs_examples DEPENDS ${example_targets} corvane_python corvane-bridge-sim)

add_test(NAME docs_examples COMMAND ${Python3_EXECUTABLE} ${examples_script} run ${examples_dir} ${doc_pages}
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
set_tests_properties(docs_examples PROPERTIES ENVIRONMENT "${pytest_env}" LABELS "python;docs" TIMEOUT 900)
