#include "call_injection.hpp"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>

namespace corvane::testing {

CurlInjection curlInjection;

LibcInjection& libcInjection() {
  thread_local LibcInjection injection;
  return injection;
}

}  // namespace corvane::testing

using corvane::testing::curlInjection;
using corvane::testing::libcInjection;

extern "C" {
CURL* __real_curl_easy_init(void);
CURLcode __real_curl_easy_setopt(CURL* handle, CURLoption option, ...);
curl_slist* __real_curl_slist_append(curl_slist* list, const char* line);
CURLcode __real_curl_easy_getinfo(CURL* handle, CURLINFO info, ...);
int __real_poll(pollfd* fds, nfds_t count, int timeout);
int __real_nanosleep(const timespec* request, timespec* remaining);

CURL* __wrap_curl_easy_init(void) {
  if (++curlInjection.initCalls == curlInjection.failInitAt) return nullptr;
  return __real_curl_easy_init();
}

// Every option takes one argument: a long, a pointer (data or function) or a curl_off_t. The option comes
// in as an int (how the enum is passed): va_start after a parameter of enum type is undefined behaviour.
CURLcode __wrap_curl_easy_setopt(CURL* handle, int optionNumber, ...) {
  va_list args;
  va_start(args, optionNumber);
  const auto option = static_cast<CURLoption>(optionNumber);
  CURLcode code = curlInjection.setoptFailure;
  const bool fail = ++curlInjection.setoptCalls == curlInjection.failSetoptAt;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    const long value = va_arg(args, long);
    if (!fail) code = __real_curl_easy_setopt(handle, option, value);
  } else if (option < CURLOPTTYPE_OFF_T) {
    void* value = va_arg(args, void*);
    if (!fail) code = __real_curl_easy_setopt(handle, option, value);
  } else {
    const curl_off_t value = va_arg(args, curl_off_t);
    if (!fail) code = __real_curl_easy_setopt(handle, option, value);
  }
  va_end(args);
  return code;
}

curl_slist* __wrap_curl_slist_append(curl_slist* list, const char* line) {
  if (++curlInjection.slistCalls == curlInjection.failSlistAt) return nullptr;
  return __real_curl_slist_append(list, line);
}

// Every query takes one pointer to where the answer goes. The query comes in as an int, as above.
CURLcode __wrap_curl_easy_getinfo(CURL* handle, int infoNumber, ...) {
  va_list args;
  va_start(args, infoNumber);
  const auto info = static_cast<CURLINFO>(infoNumber);
  void* out = va_arg(args, void*);
  va_end(args);
  if (++curlInjection.getinfoCalls == curlInjection.failGetinfoAt) return curlInjection.getinfoFailure;
  if (info == CURLINFO_ACTIVESOCKET && curlInjection.noActiveSocket) {
    *static_cast<curl_socket_t*>(out) = CURL_SOCKET_BAD;
    return CURLE_OK;
  }
  return __real_curl_easy_getinfo(handle, info, out);
}

int __wrap_poll(pollfd* fds, nfds_t count, int timeout) {
  auto& injection = libcInjection();
  ++injection.pollCalls;
  if (injection.pollFailures > 0) {
    --injection.pollFailures;
    errno = injection.pollErrno;
    return -1;
  }
  return __real_poll(fds, count, timeout);
}

int __wrap_nanosleep(const timespec* request, timespec* remaining) {
  auto& injection = libcInjection();
  ++injection.nanosleepCalls;
  if (injection.nanosleepFailures > 0) {
    --injection.nanosleepFailures;
    if (remaining != nullptr && remaining != request) *remaining = *request;
    errno = injection.nanosleepErrno;
    return -1;
  }
  return __real_nanosleep(request, remaining);
}
}
