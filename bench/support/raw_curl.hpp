#pragma once

// The baselines: plain libcurl loops with exactly the options the client sets, written as a user of
// libcurl would write them, with no library code in between.
#include <map>
#include <string>
#include <string_view>

#include <curl/curl.h>

namespace corvane::bench {

struct RawReply {
  long status = 0;
  std::string body;
  std::map<std::string, std::string> headers;
};

/// One request on a fresh easy handle: URL, whole-transfer timeout, body and header callbacks, and for a
/// non-empty `method` other than GET the same method and JSON body options as the client.
RawReply rawRequest(const std::string& url, long timeoutMs, std::string_view method = "GET",
                    std::string_view body = {});

/// One request on a fresh easy handle whose body is allocated once from the reply's Content-Length, as a
/// hand-written capture download would do it.
RawReply rawSizedRequest(const std::string& url, long timeoutMs, std::string_view method, std::string_view body);

/// The same GET on one easy handle kept for every request (libcurl then reuses the connection). With
/// `caFile`, TLS peers are verified against it.
class ReusedHandle {
 public:
  ReusedHandle(const std::string& url, long timeoutMs, const std::string& caFile = {});
  ~ReusedHandle();
  ReusedHandle(const ReusedHandle&) = delete;
  ReusedHandle& operator=(const ReusedHandle&) = delete;
  const RawReply& get();

 private:
  CURL* handle_;
  RawReply reply_;
};

/// Other ways to keep connections with a fresh start per request, for choosing the client's: a share object
/// holding the connection cache (plus name lookups and TLS sessions, locked) with a fresh easy handle per
/// request run by curl_easy_perform; a multi handle holding the connections with a fresh easy handle per
/// request; and a pool of one easy handle reset and set up again for every request.
class SharedCacheRequests {
 public:
  SharedCacheRequests(const std::string& url, long timeoutMs);
  ~SharedCacheRequests();
  SharedCacheRequests(const SharedCacheRequests&) = delete;
  SharedCacheRequests& operator=(const SharedCacheRequests&) = delete;
  const RawReply& get();

 private:
  std::string url_;
  long timeoutMs_;
  CURLSH* share_;
  RawReply reply_;
};

/// A multi handle kept for every request (it holds the connection) with a fresh easy handle per request.
class FreshHandleLane {
 public:
  FreshHandleLane(const std::string& url, long timeoutMs);
  ~FreshHandleLane();
  FreshHandleLane(const FreshHandleLane&) = delete;
  FreshHandleLane& operator=(const FreshHandleLane&) = delete;
  const RawReply& get();

 private:
  std::string url_;
  long timeoutMs_;
  CURLM* multi_;
  RawReply reply_;
};

class PooledHandleRequests {
 public:
  PooledHandleRequests(const std::string& url, long timeoutMs);
  ~PooledHandleRequests();
  PooledHandleRequests(const PooledHandleRequests&) = delete;
  PooledHandleRequests& operator=(const PooledHandleRequests&) = delete;
  const RawReply& get();

 private:
  std::string url_;
  long timeoutMs_;
  CURL* handle_;
  RawReply reply_;
};

}  // namespace corvane::bench
