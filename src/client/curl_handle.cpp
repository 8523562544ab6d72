#include "client/curl_handle.hpp"

namespace corvane::detail {

EasyHandle makeEasyHandle() {
  EasyHandle handle(curl_easy_init());
  if (!handle) throw SetupError("Failed to initialize libcurl", 0);
  return handle;
}

std::string curlErrorText(std::string_view prefix, CURLcode code) {
  std::string message(prefix);
  message += curl_easy_strerror(code);
  return message;
}

}  // namespace corvane::detail
