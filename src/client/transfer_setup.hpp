#pragma once

// How an easy handle is set up for one REST attempt or one stream handshake.
#include <chrono>
#include <string>
#include <string_view>

#include "client/curl_handle.hpp"
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

/// Where one REST attempt's reply goes. Must stay in place until the transfer ends.
struct ReplyBuffer {
  explicit ReplyBuffer(std::size_t limit) noexcept : limit(limit) {}

  HttpResponse response;
  std::size_t limit;                     ///< the most body bytes taken (ClientOptions::maxReplyBytes)
  bool tooLarge = false;                 ///< the body grew past `limit`: the transfer was ended
  char errorText[CURL_ERROR_SIZE] = {};  ///< libcurl's detailed text of a failure (CURLOPT_ERRORBUFFER)
};

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

/// Sets every option of a REST attempt whose reply goes into `reply`, which it empties. Returns the request's
/// header list, which must outlive the transfer too. Throws std::invalid_argument for an unsupported method,
/// SetupError when an option is refused.
HeaderList configureAttempt(CURL* handle, const AttemptSetup& setup, ReplyBuffer& reply);

}  // namespace corvane::detail
