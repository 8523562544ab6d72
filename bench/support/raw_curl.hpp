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

/// The same GET on one easy handle kept for every request (libcurl then reuses the connection).
class ReusedHandle {
 public:
  ReusedHandle(const std::string& url, long timeoutMs);
  ~ReusedHandle();
  ReusedHandle(const ReusedHandle&) = delete;
  ReusedHandle& operator=(const ReusedHandle&) = delete;
  const RawReply& get();

 private:
  CURL* handle_;
  RawReply reply_;
};

}  // namespace corvane::bench
