# What the library itself needs, all from Debian's archive (see scripts/install-deps). Tests, tools,
# examples and benchmarks look for their own packages.
find_package(CURL REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)

# FindCURL does not tell whether libcurl speaks WebSocket; ask libcurl itself.
set(CORVANE_CURL_MIN_VERSION 8.11.0)
if(CURL_VERSION_STRING VERSION_LESS CORVANE_CURL_MIN_VERSION)
  message(FATAL_ERROR
    "corvane needs libcurl >= ${CORVANE_CURL_MIN_VERSION} with WebSocket support; found ${CURL_VERSION_STRING}. "
    "On Debian 12 run scripts/install-deps (it installs libcurl4-openssl-dev from bookworm-backports).")
endif()
if(NOT DEFINED CORVANE_CURL_HAS_WEBSOCKET)
  try_run(_ws_run _ws_compiled
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/curl_ws_probe.cpp
    LINK_LIBRARIES CURL::libcurl
    COMPILE_OUTPUT_VARIABLE _ws_compile_out
    RUN_OUTPUT_VARIABLE _ws_run_out)
  if(_ws_compiled AND _ws_run EQUAL 0)
    set(CORVANE_CURL_HAS_WEBSOCKET ON CACHE INTERNAL "libcurl supports ws:// and wss://")
  else()
    message(FATAL_ERROR
      "corvane needs libcurl built with WebSocket support, and ${CURL_VERSION_STRING} at ${CURL_LIBRARIES} "
      "lacks it (${_ws_run_out}). On Debian 12 run scripts/install-deps "
      "(it installs libcurl4-openssl-dev from bookworm-backports).")
  endif()
endif()
