#pragma once

// Owning wrappers for libcurl handles and the checked option setter shared by HTTP requests and streams.
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <curl/curl.h>

namespace corvane::detail {

struct EasyCleanup {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct SlistFree {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

/// A fresh easy handle; throws "Failed to initialize libcurl" when libcurl cannot make one.
EasyHandle makeEasyHandle();

/// std::runtime_error with `prefix` followed by libcurl's text for `code`.
[[noreturn]] void throwCurlError(std::string_view prefix, CURLcode code);

/// Sets one option; a refusal throws "curl_easy_setopt failed: " + libcurl's text.
template <typename T>
void setOption(CURL* handle, CURLoption option, T value) {
  const CURLcode code = curl_easy_setopt(handle, option, value);
  if (code != CURLE_OK) throwCurlError("curl_easy_setopt failed: ", code);
}

}  // namespace corvane::detail
