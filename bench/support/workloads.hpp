#pragma once

// The payloads shared by the benchmarks that compare the same workload against different baselines.
#include <cstddef>
#include <string>

namespace corvane::bench {

constexpr long kTimeoutMs = 5000;

/// A small REST reply (a driver-joint query) and the path it answers.
inline const std::string kGetTarget = "/articulations//World/arm/driver_joint";
inline const std::string kGetReply = R"({"driver_joint":"/World/arm/joint_1","prim_path":"/World/arm"})";

/// A joint-stream message of about 100 bytes, and a 1 MiB frame.
inline const std::string kSmallFrame =
    R"({"positions":[0.0123,-1.2345,0.5678,-2.3456,0.0012,1.8765,0.7854],"time":1234.5678,"seq":42})";
inline const std::string kLargeFrame(std::size_t{1} << 20, 'x');

/// The stream paths (relative to the WebSocket base URL) on which the loopback server pushes them; any
/// other stream path swallows what it is sent.
inline const std::string kSmallPrim = "/World/small";
inline const std::string kLargePrim = "/World/large";
inline const std::string kSinkPrim = "/World/sink";
inline std::string streamPath(const std::string& prim) { return "articulations/" + prim + "/stream_joint_positions"; }
inline const std::string& primFor(const std::string& payload) {
  return &payload == &kSmallFrame ? kSmallPrim : kLargePrim;
}

}  // namespace corvane::bench
