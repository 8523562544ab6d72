#pragma once

// The simulated bridge running in-process on an ephemeral port, with a client aimed at it (no retries,
// so error statuses come back at once), and a reader of the binary camera frame for the tests.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "corvane/corvane.hpp"
#include "server.hpp"

namespace corvane::testing {

class SimBridge {
 public:
  explicit SimBridge(bridge_sim::ServerOptions options = {}) : server_(withDefaults(options)) {
    server_.start();
    client_ = std::make_unique<IsaacSimClient>("sim-test", server_.httpUrl(), server_.wsUrl(),
                                               std::chrono::milliseconds(10000), 0);
  }

  IsaacSimClient& client() { return *client_; }
  /// Another client of this bridge, whose calls `observer` sees (a recorder's, a live server's, a test's).
  IsaacSimClient observedClient(std::shared_ptr<ClientObserver> observer, const std::string& name) {
    ClientOptions options;
    options.observer = std::move(observer);
    return IsaacSimClient(name, server_.httpUrl(), server_.wsUrl(), std::chrono::milliseconds(10000), 0, options);
  }
  bridge_sim::Server& server() { return server_; }

  /// Sends and returns status + parsed body (null when the body is not JSON).
  static nlohmann::json parsed(const HttpResponse& response) {
    return nlohmann::json::parse(response.body, nullptr, false);
  }

 private:
  static bridge_sim::ServerOptions withDefaults(bridge_sim::ServerOptions options) {
    if (options.ioThreads == 0) options.ioThreads = 2;
    if (options.renderThreads == 0) options.renderThreads = 2;
    return options;
  }

  bridge_sim::Server server_;
  std::unique_ptr<IsaacSimClient> client_;
};

/// Whether `condition` holds within `limit` (checked every 10 ms); for effects the server completes on its own threads.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

/// A decoded camera frame, read independently of the library's decoder.
struct RawFrame {
  nlohmann::json manifest;
  std::string payload;

  static RawFrame parse(const std::string& body) {
    if (body.size() < 8 || body.compare(0, 4, "CVB1") != 0) throw std::runtime_error("not a CVB1 frame");
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
      length |= static_cast<std::uint32_t>(static_cast<unsigned char>(body[4 + i])) << (8 * i);
    if (8ull + length > body.size()) throw std::runtime_error("manifest past the end");
    return {nlohmann::json::parse(body.substr(8, length)), body.substr(8 + length)};
  }

  const nlohmann::json& array(const std::string& name) const {
    return manifest.at("arrays").at(manifest.at("structure").at(name).at("__ndarray__").get<std::size_t>());
  }
  std::string bytes(const std::string& name) const {
    const nlohmann::json& a = array(name);
    return payload.substr(a.at("offset").get<std::size_t>(), a.at("nbytes").get<std::size_t>());
  }
  template <typename T>
  T at(const std::string& name, std::size_t index) const {
    const std::string data = bytes(name);
    T value;
    std::memcpy(&value, data.data() + index * sizeof(T), sizeof(T));
    return value;
  }
};

}  // namespace corvane::testing
