#include "client/transfer_setup.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <stdexcept>

#include "client/header_line.hpp"

namespace corvane::detail {
namespace {

constexpr long kFrameReadSize = 512L * 1024;

bool isContentLength(std::string_view name) { return equalsIgnoringCase(name, "content-length"); }

// The length a Content-Length line announces, or nothing for any other line.
std::optional<std::size_t> announcedLength(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || !isContentLength(line.substr(0, colon))) return std::nullopt;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  std::size_t length = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
  if (error != std::errc()) return std::nullopt;
  return length;
}

// libcurl callbacks are C frames: nothing may be thrown through them. A body that cannot be kept (out of
// memory) returns 0, which makes libcurl abort the transfer with an error instead.
size_t writeCallback(char* data, size_t size, size_t count, void* userdata) noexcept {
  const size_t n = size * count;
  return static_cast<ReplySink*>(userdata)->append(data, n) ? n : 0;
}

size_t headerCallback(char* data, size_t size, size_t count, void* userdata) noexcept {
  const size_t n = size * count;
  auto& sink = *static_cast<ReplySink*>(userdata);
  const std::string_view line(data, n);
  try {
    storeHeaderLine(line, sink.response().headers);
  } catch (...) {
    return 0;
  }
  if (const std::optional<std::size_t> length = announcedLength(line)) sink.announce(*length);
  return n;
}

void setCommonOptions(CURL* handle, const AttemptSetup& setup, ReplySink& sink) {
  setOption(handle, CURLOPT_URL, setup.url.c_str());
  setOption(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(setup.timeout.count()));
  setOption(handle, CURLOPT_WRITEFUNCTION, &writeCallback);
  setOption(handle, CURLOPT_WRITEDATA, static_cast<void*>(&sink));
  setOption(handle, CURLOPT_HEADERFUNCTION, &headerCallback);
  setOption(handle, CURLOPT_HEADERDATA, static_cast<void*>(&sink));
  setOption(handle, CURLOPT_ERRORBUFFER, sink.errorText());
  // An announced length past the cap ends the transfer before its body comes.
  setOption(handle, CURLOPT_MAXFILESIZE_LARGE,
            static_cast<curl_off_t>(std::min<std::size_t>(sink.limit(), std::numeric_limits<curl_off_t>::max())));
}

// With reuseConnections the handle joins the client's share (name lookups, TLS sessions) and leaves its
// connection in the lane; without, nothing outlives the attempt: its connection is closed at its end, and
// neither its name lookup nor its TLS session serves a later attempt.
void setConnectionPolicy(CURL* handle, CURLSH* share) {
  if (share != nullptr) {
    setOption(handle, CURLOPT_SHARE, share);
    return;
  }
  setOption(handle, CURLOPT_FORBID_REUSE, 1L);
  setOption(handle, CURLOPT_DNS_CACHE_TIMEOUT, 0L);
  setOption(handle, CURLOPT_SSL_SESSIONID_CACHE, 0L);
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
    if (rule.name == "POST") setOption(handle, CURLOPT_POST, 1L);
    if (rule.customRequest != nullptr) setOption(handle, CURLOPT_CUSTOMREQUEST, rule.customRequest);
    return rule.hasBody;
  }
  throw std::invalid_argument("Unsupported HTTP method: " + std::string(method));
}

// Hands the body to libcurl by address (no copy).
void attachBody(CURL* handle, std::string_view body) {
  // A null pointer would make libcurl read the body from stdin instead; an empty body must stay empty.
  setOption(handle, CURLOPT_POSTFIELDS, body.data() != nullptr ? body.data() : "");
  setOption(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
}

curl_slist* appendLine(curl_slist* list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list, line.c_str());
  if (grown == nullptr) throw SetupError("Failed to build the request headers: curl_slist_append failed", 0);
  return grown;
}

}  // namespace

void setTransportOptions(CURL* handle, const ClientOptions& options, bool stream) {
  setOption(handle, CURLOPT_PROXY, options.proxy.c_str());  // "": no proxy, whatever the environment says
  setOption(handle, CURLOPT_PATH_AS_IS, 1L);
  // file://, ftp:// and the rest would read local files or talk to other servers in the bridge's name.
  setOption(handle, CURLOPT_PROTOCOLS_STR, stream ? "ws,wss" : "http,https");
  setOption(handle, CURLOPT_REDIR_PROTOCOLS_STR, stream ? "ws,wss" : "http,https");
  // A name lookup still running in libcurl's resolver thread is left behind instead of waited for, so it
  // cannot hold a call past its timeout, deadline or interruption.
  setOption(handle, CURLOPT_QUICK_EXIT, 1L);
  if (!options.proxy.empty()) {
    setOption(handle, CURLOPT_NOPROXY, "");                   // "": the proxy for every host, whatever no_proxy says
    setOption(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);  // the bridge's headers only, not the proxy's
    if (stream) setOption(handle, CURLOPT_HTTPPROXYTUNNEL, 1L);
  }
  if (!options.caFile.empty()) {
    setOption(handle, CURLOPT_CAINFO, options.caFile.c_str());
    setOption(handle, CURLOPT_PROXY_CAINFO, options.caFile.c_str());
  }
}

long proxyRefusal(CURL* handle) noexcept {
  long status = 0;
  if (curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &status) != CURLE_OK) return 0;
  return status >= 300 ? status : 0;
}

HeaderList requestHeaders(const ClientOptions& options, bool jsonBody) {
  HeaderList list;
  // Without its content type the body would go out as form data: refuse to send it at all.
  if (jsonBody) list.reset(appendLine(nullptr, "Content-Type: application/json"));
  for (const std::string& line : options.headers) {
    curl_slist* grown = appendLine(list.get(), line);
    (void)list.release();  // curl_slist_append returns the head it was given (or a new one for null)
    list.reset(grown);
  }
  return list;
}

// Makes room for the whole body once its length is announced, so it arrives in place instead of growing by
// doubling. A length past kBodyReserveLimit, or no memory for it, leaves the body to grow as it comes.
void ReplySink::announce(std::size_t length) noexcept {
  if (length > std::min(kBodyReserveLimit, limit_) || bodySize() != 0) return;
  try {
    if (buffer_ != nullptr) {
      buffer_->reserve(length);
    } else {
      response_.body.reserve(length);
    }
  } catch (const std::exception&) {  // no memory for it: the body grows as it comes
  }
}

bool ReplySink::append(const char* data, std::size_t size) noexcept {
  if (size > limit_ - bodySize()) {
    tooLarge_ = true;
    return false;
  }
  try {
    if (buffer_ != nullptr) {
      buffer_->append(data, size);
    } else {
      response_.body.append(data, size);
    }
    return true;
  } catch (...) {
    return false;
  }
}

std::size_t ReplySink::bodySize() const noexcept {
  return buffer_ != nullptr ? buffer_->size() : response_.body.size();
}

HeaderList configureAttempt(CURL* handle, const AttemptSetup& setup, ReplySink& sink) {
  setCommonOptions(handle, setup, sink);
  // A frame's reply is megabytes: reading it in larger pieces takes a fraction of the system calls and
  // callbacks (libcurl's default is 16 KiB). A recycled handle gets its default back from curl_easy_reset.
  if (sink.intoBuffer()) setOption(handle, CURLOPT_BUFFERSIZE, kFrameReadSize);
  setTransportOptions(handle, setup.options, false);
  setConnectionPolicy(handle, setup.share);
  const bool hasBody = selectMethod(handle, setup.method);
  if (hasBody) attachBody(handle, setup.body);
  HeaderList headers = requestHeaders(setup.options, hasBody);
  if (headers) setOption(handle, CURLOPT_HTTPHEADER, headers.get());
  return headers;
}

}  // namespace corvane::detail
