#pragma once

// How an easy handle is set up for one REST attempt or one stream handshake.
#include <chrono>
#include <string>
#include <string_view>

#include "client/curl_handle.hpp"
#include "client/reply_buffer.hpp"
#include "corvane/options.hpp"
#include "corvane/response.hpp"

namespace corvane::detail {

/// A reply body announced (Content-Length) up to this size is allocated in one piece before it arrives;
/// a larger announcement grows as its bytes come, so a bogus length cannot make the library take memory
/// for bytes that never come. Above the largest capture the bridge makes (3840 x 2160 rgb + depth +
/// segmentation, about 91 MB).
constexpr std::size_t kBodyReserveLimit = std::size_t{256} << 20;

/// What every transfer of a client gets, REST requests and stream handshakes alike: the configured proxy or
/// none (never one from the environment), the path exactly as written (libcurl would resolve "/../" and
/// "/./"), the configured CA file (for an https:// proxy too), only the schemes of its kind (http and https,
/// or with `stream` ws and wss, whose proxy is crossed with a CONNECT tunnel), and an end that does not wait
/// for a name lookup still running.
void setTransportOptions(CURL* handle, const ClientOptions& options, bool stream);

/// The status a proxy refused a transfer's tunnel with (CONNECT answered outside 2xx), or 0.
long proxyRefusal(CURL* handle) noexcept;

/// The header lines of a request: "Content-Type: application/json" when `jsonBody`, then the configured
/// lines. Null when there are none; throws SetupError when libcurl cannot build the list.
HeaderList requestHeaders(const ClientOptions& options, bool jsonBody);

/// One REST attempt.
struct AttemptSetup {
  std::string_view method;
  const std::string& url;
  std::string_view body;
  std::chrono::milliseconds timeout;  ///< the client's, or less when the deadline is near
  const ClientOptions& options;
  CURLSH* share;  ///< the client's share object with reuseConnections, null without
};

/// Where every REST reply goes: status and headers into `response`; the body into `response.body`, or into
/// `buffer` when one is given (a reply a frame will keep; `response.body` then stays empty). Every body byte
/// of every reply passes through append(), which takes at most `limit` bytes (ClientOptions::maxReplyBytes).
class ReplySink {
 public:
  ReplySink(HttpResponse& response, std::size_t limit, ReplyBuffer* buffer = nullptr) noexcept
      : response_(response), buffer_(buffer), limit_(limit) {}

  [[nodiscard]] HttpResponse& response() noexcept { return response_; }
  /// The body's announced length (Content-Length): room for it is made before it comes, up to
  /// kBodyReserveLimit and the limit. Only a hint: without memory for it the body grows as it comes.
  void announce(std::size_t length) noexcept;
  /// Appends body bytes; false when they cannot be kept (out of memory, or past the limit: tooLarge()), and
  /// the transfer is then aborted.
  [[nodiscard]] bool append(const char* data, std::size_t size) noexcept;
  /// The body bytes received so far.
  [[nodiscard]] std::size_t bodySize() const noexcept;
  /// Whether the body goes into a reply buffer (a frame's, usually megabytes).
  [[nodiscard]] bool intoBuffer() const noexcept { return buffer_ != nullptr; }
  [[nodiscard]] std::size_t limit() const noexcept { return limit_; }
  /// Whether the body grew past the limit, which ended the transfer.
  [[nodiscard]] bool tooLarge() const noexcept { return tooLarge_; }
  /// libcurl's detailed text of a failure (CURLOPT_ERRORBUFFER); empty when it wrote none.
  [[nodiscard]] char* errorText() noexcept { return errorText_; }
  [[nodiscard]] const char* errorText() const noexcept { return errorText_; }

 private:
  HttpResponse& response_;
  ReplyBuffer* buffer_;
  std::size_t limit_;
  bool tooLarge_ = false;
  char errorText_[CURL_ERROR_SIZE] = {};
};

/// Sets every option of a REST attempt whose reply goes into `sink` (which, with its response and buffer,
/// must stay in place until the transfer ends). Returns the request's header list, which must outlive the
/// transfer too. Throws std::invalid_argument for an unsupported method, SetupError when an option is refused.
HeaderList configureAttempt(CURL* handle, const AttemptSetup& setup, ReplySink& sink);

}  // namespace corvane::detail
