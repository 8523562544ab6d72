#include "raw_curl.hpp"

#include "side_by_side.hpp"

namespace corvane::bench {
namespace {

size_t appendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// Same result as the client's header handling: name as received, value without leading spaces.
size_t storeHeader(char* data, size_t size, size_t count, void* user) {
  std::string_view line(data, size * count);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return size * count;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  (*static_cast<std::map<std::string, std::string>*>(user))[std::string(line.substr(0, colon))] = value;
  return size * count;
}

void setCommon(CURL* handle, const std::string& url, long timeoutMs, RawReply& reply) {
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &appendBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(&reply.body));
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &storeHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, static_cast<void*>(&reply.headers));
}

}  // namespace

RawReply rawRequest(const std::string& url, long timeoutMs, std::string_view method, std::string_view body) {
  RawReply reply;
  CURL* handle = curl_easy_init();
  check(handle != nullptr, "curl_easy_init");
  setCommon(handle, url, timeoutMs, reply);
  curl_slist* headers = nullptr;
  if (method != "GET") {
    if (method == "POST") {
      curl_easy_setopt(handle, CURLOPT_POST, 1L);
    } else {
      curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, std::string(method).c_str());
    }
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  }
  const CURLcode code = curl_easy_perform(handle);
  check(code == CURLE_OK, std::string("raw request: ") + curl_easy_strerror(code));
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(handle);
  return reply;
}

ReusedHandle::ReusedHandle(const std::string& url, long timeoutMs) : handle_(curl_easy_init()) {
  check(handle_ != nullptr, "curl_easy_init");
  setCommon(handle_, url, timeoutMs, reply_);
}

ReusedHandle::~ReusedHandle() { curl_easy_cleanup(handle_); }

const RawReply& ReusedHandle::get() {
  reply_.body.clear();
  reply_.headers.clear();
  const CURLcode code = curl_easy_perform(handle_);
  check(code == CURLE_OK, std::string("reused handle: ") + curl_easy_strerror(code));
  curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &reply_.status);
  return reply_;
}

}  // namespace corvane::bench
