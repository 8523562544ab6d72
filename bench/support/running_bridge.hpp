#pragma once

// The simulated bridge running in the benchmark process, with a client aimed at it (the benchmark target
// links corvane_bridge_sim_core).
#include <chrono>

#include <corvane/corvane.hpp>
#include <server.hpp>

namespace corvane::bench {

struct RunningBridge {
  explicit RunningBridge(double streamRate) : server(options(streamRate)), client(clientOf(started(server))) {}
  static bridge_sim::ServerOptions options(double streamRate) {
    bridge_sim::ServerOptions o;
    o.streamRate = streamRate;
    return o;
  }
  static IsaacSimClient clientOf(const bridge_sim::Server& server) {
    return IsaacSimClient("bench", server.httpUrl(), server.wsUrl(), std::chrono::milliseconds(30000), 0);
  }
  static bridge_sim::Server& started(bridge_sim::Server& server) {
    server.start();  // the port is known only once it listens
    return server;
  }
  bridge_sim::Server server;
  IsaacSimClient client;
};

}  // namespace corvane::bench
