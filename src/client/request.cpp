// The HTTP request engine: one fresh easy handle per attempt, retries with a jittered growing pause.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "client/curl_handle.hpp"
#include "client/header_line.hpp"
#include "client/retry_pause.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace {

// libcurl callbacks are C frames: nothing may be thrown through them. A failed append (out of memory)
// returns 0, which makes libcurl abort the transfer with an error instead.
size_t writeCallback(char* data, size_t size, size_t count, void* userdata) noexcept {
  const size_t n = size * count;
  try {
    static_cast<std::string*>(userdata)->append(data, n);
    return n;
  } catch (...) {
    return 0;
  }
}

size_t headerCallback(char* data, size_t size, size_t count, void* userdata) noexcept {
  const size_t n = size * count;
  try {
    detail::storeHeaderLine(std::string_view(data, n), *static_cast<std::map<std::string, std::string>*>(userdata));
    return n;
  } catch (...) {
    return 0;
  }
}

void setCommonOptions(CURL* handle, const std::string& url, std::chrono::milliseconds timeout, HttpResponse& response) {
  detail::setOption(handle, CURLOPT_URL, url.c_str());
  detail::setOption(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  detail::setOption(handle, CURLOPT_WRITEFUNCTION, &writeCallback);
  detail::setOption(handle, CURLOPT_WRITEDATA, static_cast<void*>(&response.body));
  detail::setOption(handle, CURLOPT_HEADERFUNCTION, &headerCallback);
  detail::setOption(handle, CURLOPT_HEADERDATA, static_cast<void*>(&response.headers));
}

struct MethodRule {
  std::string_view name;
  const char* customRequest;  // nullptr: POST sets CURLOPT_POST, GET is libcurl's default
  bool hasBody;
};
constexpr MethodRule kMethods[] = {
    {"POST", nullptr, true},  {"PUT", "PUT", true},        {"GET", nullptr, false},
    {"PATCH", "PATCH", true}, {"DELETE", "DELETE", false},
};

// Sets the method's options; returns whether the method carries a body.
bool selectMethod(CURL* handle, std::string_view method) {
  for (const MethodRule& rule : kMethods) {
    if (rule.name != method) continue;
    if (rule.name == "POST") detail::setOption(handle, CURLOPT_POST, 1L);
    if (rule.customRequest != nullptr) detail::setOption(handle, CURLOPT_CUSTOMREQUEST, rule.customRequest);
    return rule.hasBody;
  }
  throw std::invalid_argument("Unsupported HTTP method: " + std::string(method));
}

// Hands the body to libcurl by address (no copy) with its JSON content type. The returned list must
// outlive the transfer.
detail::HeaderList attachJsonBody(CURL* handle, std::string_view body) {
  // A null pointer would make libcurl read the body from stdin instead; an empty body must stay empty.
  detail::setOption(handle, CURLOPT_POSTFIELDS, body.data() != nullptr ? body.data() : "");
  detail::setOption(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  detail::HeaderList headers(curl_slist_append(nullptr, "Content-Type: application/json"));
  // Without its content type the body would go out as form data: refuse to send it at all.
  if (!headers) throw SetupError("Failed to build the request headers: curl_slist_append failed", 0);
  detail::setOption(handle, CURLOPT_HTTPHEADER, headers.get());
  return headers;
}

bool isRetryableStatus(long status) {
  return status == 408 || status == 409 || status == 429 || (status >= 500 && status != 501);
}

}  // namespace

HttpResponse IsaacSimClient::get(std::string_view path) { return request_("GET", path, {}); }
HttpResponse IsaacSimClient::post(std::string_view path, std::string_view body) { return request_("POST", path, body); }
HttpResponse IsaacSimClient::put(std::string_view path, std::string_view body) { return request_("PUT", path, body); }
HttpResponse IsaacSimClient::patch(std::string_view path, std::string_view body) {
  return request_("PATCH", path, body);
}
HttpResponse IsaacSimClient::deleteRequest(std::string_view path) { return request_("DELETE", path, {}); }

HttpResponse IsaacSimClient::request_(std::string_view method, std::string_view path, std::string_view body) {
  const std::string url = prepareUrl_(path);
  HttpResponse response;
  for (int attempt = 0;; ++attempt) {
    response = HttpResponse{};
    const detail::EasyHandle handle = detail::makeEasyHandle();
    setCommonOptions(handle.get(), url, timeout_, response);
    detail::HeaderList headers;
    if (selectMethod(handle.get(), method)) headers = attachJsonBody(handle.get(), body);

    const CURLcode code = curl_easy_perform(handle.get());
    if (code == CURLE_OK) curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &response.status);
    if (code == CURLE_OK && !isRetryableStatus(response.status)) return response;
    if (attempt >= maxRetries_) {
      if (code != CURLE_OK)
        throw TransportError(detail::curlErrorText("HTTP request failed: ", code), code, attempt + 1);
      return response;
    }
    detail::sleepFor(detail::retryPause(attempt, std::rand()));
  }
}

}  // namespace corvane
