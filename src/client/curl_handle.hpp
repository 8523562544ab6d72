#pragma once

// Owning wrappers for libcurl handles and the checked option setter shared by HTTP requests and streams.
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "corvane/errors.hpp"

namespace corvane::detail {

struct EasyCleanup {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct SlistFree {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

/// A fresh easy handle; throws SetupError "Failed to initialize libcurl" when libcurl cannot make one.
EasyHandle makeEasyHandle();

/// `prefix` followed by libcurl's text for `code`: the form of every message about a libcurl failure.
std::string curlErrorText(std::string_view prefix, CURLcode code);

/// Sets one option; a refusal throws SetupError "curl_easy_setopt failed: " + libcurl's text.
template <typename T>
void setOption(CURL* handle, CURLoption option, T value) {
  const CURLcode code = curl_easy_setopt(handle, option, value);
  if (code != CURLE_OK) throw SetupError(curlErrorText("curl_easy_setopt failed: ", code), code);
}

}  // namespace corvane::detail
