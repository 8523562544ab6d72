// The client's stream openers: one WebSocket handshake per stream, never retried.
#include <algorithm>
#include <string>
#include <utility>

#include "client/access.hpp"
#include "client/curl_handle.hpp"
#include "client/interruption.hpp"
#include "client/observation.hpp"
#include "client/routes.hpp"
#include "client/transfer_setup.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace {

struct Handshake {
  CURLcode code = CURLE_OK;
  long status = 0;  // the bridge's answer to the upgrade; 0 when none could be read
};

// The body of a reply that is not an upgrade (libcurl hands one over for an http:// URL) goes nowhere:
// libcurl's default would write it to the process's stdout.
size_t dropBody(char*, size_t size, size_t count, void*) { return size * count; }

std::string handshakeMessage(const std::string& url, const Handshake& outcome) {
  std::string message = detail::curlErrorText("WebSocket handshake failed for " + url + ": ", outcome.code);
  if (outcome.status != 0 && outcome.status != 101) message += " (status " + std::to_string(outcome.status) + ")";
  return message;
}

// libcurl reports success when the server hangs up without answering the upgrade at all, leaving a handle
// that cannot send or receive: only a 101 answer opens a stream.
Handshake handshakeOutcome(CURL* handle, CURLcode performed) {
  Handshake outcome;
  const CURLcode read = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &outcome.status);
  if (read != CURLE_OK) outcome.status = 0;
  if (performed != CURLE_OK) {
    outcome.code = performed;
  } else if (read != CURLE_OK) {
    outcome.code = read;  // report why the status is unknown, not that nothing came
  } else if (outcome.status == 0) {
    outcome.code = CURLE_GOT_NOTHING;
  } else if (outcome.status != 101) {
    outcome.code = CURLE_HTTP_RETURNED_ERROR;
  }
  return outcome;
}

}  // namespace

WebSocketStream IsaacSimClient::openJointPositionStream(std::string_view primPath) {
  return openStream(detail::articulationStreamPath(primPath, detail::kJointPositionStream));
}

WebSocketStream IsaacSimClient::openArticulationStateStream(std::string_view primPath) {
  return openStream(detail::articulationStreamPath(primPath, detail::kArticulationStateStream));
}

WebSocketStream IsaacSimClient::openStream(std::string_view path) { return openStream(path, timeout_); }

WebSocketStream IsaacSimClient::openStream(std::string_view path, std::chrono::milliseconds limit) {
  detail::EasyHandle handle = detail::makeEasyHandle();
  // Unlike HTTP paths, nothing is stripped: the base URL ends in '/' and the path is appended as is.
  std::string url = websocketBaseUrl_;
  url.append(path);
  detail::setOption(handle.get(), CURLOPT_URL, url.c_str());
  detail::setOption(handle.get(), CURLOPT_CONNECT_ONLY, 2L);  // connect, upgrade, then hand over
  const auto handshakeLimit = std::clamp(limit, std::chrono::milliseconds(1), timeout_);
  detail::setOption(handle.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(handshakeLimit.count()));
  detail::setTransportOptions(handle.get(), options_, true);
  detail::setOption(handle.get(), CURLOPT_WRITEFUNCTION, &dropBody);
  const detail::HeaderList headers = detail::requestHeaders(options_, false);
  if (headers) detail::setOption(handle.get(), CURLOPT_HTTPHEADER, headers.get());
  detail::Interruption interruption(options_.interrupted);
  interruption.check();
  interruption.watch(handle.get());
  const CURLcode performed = curl_easy_perform(handle.get());
  interruption.unwatch(handle.get());
  if (headers) curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));  // freed below
  interruption.rethrowIfInterrupted();
  const Handshake outcome = handshakeOutcome(handle.get(), performed);
  if (outcome.code != CURLE_OK) {
    const long proxyStatus = detail::proxyRefusal(handle.get());
    std::string message = handshakeMessage(url, outcome);
    if (proxyStatus == 0) throw HandshakeError(message, std::move(url), outcome.code, outcome.status);
    message = detail::curlErrorText("WebSocket handshake failed for " + url + ": ", outcome.code);
    message += " (the proxy refused the tunnel: CONNECT answered " + std::to_string(proxyStatus) + ")";
    throw HandshakeError(message, std::move(url), outcome.code, outcome.status, TransportErrorKind::proxyRefused);
  }
  WebSocketStream stream(handle.release());
  if (options_.observer) {
    auto observation = std::make_shared<detail::StreamObservation>(
        detail::StreamObservation{options_.observer, url, options_.interrupted});
    detail::notifyStream(*observation, StreamEventKind::opened);
    detail::Access::observe(stream, std::move(observation));
  }
  return stream;
}

}  // namespace corvane
