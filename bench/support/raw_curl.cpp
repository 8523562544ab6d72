#include "raw_curl.hpp"

#include <mutex>

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

// The body buffer sized once from Content-Length, read when the first bytes arrive.
struct SizedBody {
  CURL* handle;
  std::string* body;
};

size_t appendSized(char* data, size_t size, size_t count, void* user) {
  auto* sized = static_cast<SizedBody*>(user);
  curl_off_t length = -1;
  if (sized->body->empty() &&
      curl_easy_getinfo(sized->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0) {
    sized->body->reserve(static_cast<std::size_t>(length));
  }
  sized->body->append(data, size * count);
  return size * count;
}

void setCommon(CURL* handle, const std::string& url, long timeoutMs, RawReply& reply) {
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &appendBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(&reply.body));
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &storeHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, static_cast<void*>(&reply.headers));
  curl_easy_setopt(handle, CURLOPT_PROXY, "");  // as the client: no proxy from the environment
  curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);
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

RawReply rawSizedRequest(const std::string& url, long timeoutMs, std::string_view method, std::string_view body) {
  RawReply reply;
  CURL* handle = curl_easy_init();
  check(handle != nullptr, "curl_easy_init");
  setCommon(handle, url, timeoutMs, reply);
  SizedBody sized{handle, &reply.body};
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &appendSized);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(&sized));
  if (method == "POST") {
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  const CURLcode code = curl_easy_perform(handle);
  check(code == CURLE_OK, std::string("raw sized request: ") + curl_easy_strerror(code));
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_easy_cleanup(handle);
  return reply;
}

ReusedHandle::ReusedHandle(const std::string& url, long timeoutMs, const std::string& caFile)
    : handle_(curl_easy_init()) {
  check(handle_ != nullptr, "curl_easy_init");
  setCommon(handle_, url, timeoutMs, reply_);
  if (!caFile.empty()) curl_easy_setopt(handle_, CURLOPT_CAINFO, caFile.c_str());
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

namespace {

std::mutex gShareLocks[CURL_LOCK_DATA_LAST];
void lockShare(CURL*, curl_lock_data data, curl_lock_access, void*) { gShareLocks[data].lock(); }
void unlockShare(CURL*, curl_lock_data data, void*) { gShareLocks[data].unlock(); }

const RawReply& performChecked(CURL* handle, RawReply& reply, const char* what) {
  const CURLcode code = curl_easy_perform(handle);
  check(code == CURLE_OK, std::string(what) + ": " + curl_easy_strerror(code));
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

}  // namespace

SharedCacheRequests::SharedCacheRequests(const std::string& url, long timeoutMs)
    : url_(url), timeoutMs_(timeoutMs), share_(curl_share_init()) {
  check(share_ != nullptr, "curl_share_init");
  for (const curl_lock_data data : {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION}) {
    curl_share_setopt(share_, CURLSHOPT_SHARE, data);
  }
  curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &lockShare);
  curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &unlockShare);
}

SharedCacheRequests::~SharedCacheRequests() { curl_share_cleanup(share_); }

const RawReply& SharedCacheRequests::get() {
  reply_.body.clear();
  reply_.headers.clear();
  CURL* handle = curl_easy_init();
  check(handle != nullptr, "curl_easy_init");
  setCommon(handle, url_, timeoutMs_, reply_);
  curl_easy_setopt(handle, CURLOPT_SHARE, share_);
  performChecked(handle, reply_, "shared cache");
  curl_easy_cleanup(handle);
  return reply_;
}

FreshHandleLane::FreshHandleLane(const std::string& url, long timeoutMs)
    : url_(url), timeoutMs_(timeoutMs), multi_(curl_multi_init()) {
  check(multi_ != nullptr, "curl_multi_init");
}

FreshHandleLane::~FreshHandleLane() { curl_multi_cleanup(multi_); }

const RawReply& FreshHandleLane::get() {
  reply_.body.clear();
  reply_.headers.clear();
  CURL* handle = curl_easy_init();
  check(handle != nullptr, "curl_easy_init");
  setCommon(handle, url_, timeoutMs_, reply_);
  curl_multi_add_handle(multi_, handle);
  for (int running = 1; running > 0;) {
    curl_multi_perform(multi_, &running);
    if (running > 0) curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
  int queued = 0;
  const CURLMsg* done = curl_multi_info_read(multi_, &queued);
  check(done != nullptr && done->data.result == CURLE_OK, "fresh handle in a lane");
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply_.status);
  curl_multi_remove_handle(multi_, handle);
  curl_easy_cleanup(handle);
  return reply_;
}

PooledHandleRequests::PooledHandleRequests(const std::string& url, long timeoutMs)
    : url_(url), timeoutMs_(timeoutMs), handle_(curl_easy_init()) {
  check(handle_ != nullptr, "curl_easy_init");
}

PooledHandleRequests::~PooledHandleRequests() { curl_easy_cleanup(handle_); }

const RawReply& PooledHandleRequests::get() {
  reply_.body.clear();
  reply_.headers.clear();
  curl_easy_reset(handle_);  // keeps the connection, forgets the options
  setCommon(handle_, url_, timeoutMs_, reply_);
  return performChecked(handle_, reply_, "pooled handle");
}

}  // namespace corvane::bench
