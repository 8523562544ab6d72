#include "client/curl_handle.hpp"

namespace corvane::detail {

EasyHandle makeEasyHandle() {
  EasyHandle handle(curl_easy_init());
  if (!handle) throw std::runtime_error("Failed to initialize libcurl");
  return handle;
}

void throwCurlError(std::string_view prefix, CURLcode code) {
  std::string message(prefix);
  message += curl_easy_strerror(code);
  throw std::runtime_error(message);
}

}  // namespace corvane::detail
