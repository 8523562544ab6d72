// The client's stream openers: one WebSocket handshake per stream, never retried.
#include <string>

#include "client/curl_handle.hpp"
#include "client/routes.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace {

// libcurl reports success when the server hangs up without answering the upgrade at all, leaving a handle
// that cannot send or receive: only a 101 answer opens a stream.
CURLcode handshakeOutcome(CURL* handle, CURLcode performed) {
  if (performed != CURLE_OK) return performed;
  long status = 0;
  const CURLcode read = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  if (read != CURLE_OK) return read;  // report why the status is unknown, not that nothing came
  if (status == 0) return CURLE_GOT_NOTHING;
  return status == 101 ? CURLE_OK : CURLE_HTTP_RETURNED_ERROR;
}

}  // namespace

WebSocketStream IsaacSimClient::openJointPositionStream(std::string_view prim_path) {
  return openStream_(detail::articulationStreamPath(prim_path, "/stream_joint_positions"));
}

WebSocketStream IsaacSimClient::openArticulationStateStream(std::string_view prim_path) {
  return openStream_(detail::articulationStreamPath(prim_path, "/stream_articulation_state"));
}

WebSocketStream IsaacSimClient::openStream_(std::string_view path) {
  detail::EasyHandle handle = detail::makeEasyHandle();
  // Unlike HTTP paths, nothing is stripped: the base URL ends in '/' and the path is appended as is.
  std::string url = websocketBaseUrl_;
  url.append(path);
  detail::setOption(handle.get(), CURLOPT_URL, url.c_str());
  detail::setOption(handle.get(), CURLOPT_CONNECT_ONLY, 2L);  // connect, upgrade, then hand over
  detail::setOption(handle.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_.count()));
  const CURLcode code = handshakeOutcome(handle.get(), curl_easy_perform(handle.get()));
  if (code != CURLE_OK) detail::throwCurlError("WebSocket handshake failed for " + url + ": ", code);
  return WebSocketStream(handle.release());
}

}  // namespace corvane
