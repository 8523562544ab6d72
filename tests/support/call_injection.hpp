#pragma once

// Failures no real server can provoke. A binary that links call_injection.cpp with
//   -Wl,--wrap=curl_easy_init,--wrap=curl_easy_setopt,--wrap=curl_slist_append,--wrap=curl_easy_getinfo
//   -Wl,--wrap=poll,--wrap=nanosleep
// (see corvane_call_injection in tests/CMakeLists.txt) can make the Nth call of each fail. Only calls from
// code linked into the binary itself are affected (the library's static archive, not libcurl's inside).
#include <curl/curl.h>

namespace corvane::testing {

/// Counters and failure points for the libcurl calls. Call numbers count from 1; 0 means never fail.
struct CurlInjection {
  int initCalls = 0, setoptCalls = 0, slistCalls = 0, getinfoCalls = 0;
  int failInitAt = 0, failSetoptAt = 0, failSlistAt = 0, failGetinfoAt = 0;
  CURLcode setoptFailure = CURLE_OUT_OF_MEMORY;
  CURLcode getinfoFailure = CURLE_BAD_FUNCTION_ARGUMENT;
  bool noActiveSocket = false;  ///< CURLINFO_ACTIVESOCKET answers CURL_SOCKET_BAD
};
/// Shared by all threads; only the thread under test calls libcurl.
extern CurlInjection curlInjection;

/// Failures of the C library calls, per thread (the test bridge's threads are never affected).
struct LibcInjection {
  int pollCalls = 0, nanosleepCalls = 0;
  int pollFailures = 0;  ///< the next this many poll calls fail with pollErrno
  int pollErrno = 0;
  int nanosleepFailures = 0;  ///< the next this many nanosleep calls fail with nanosleepErrno, sleeping nothing
  int nanosleepErrno = 0;
};
LibcInjection& libcInjection();  ///< the calling thread's

}  // namespace corvane::testing
