// Streamed teleoperation: sends joint targets over the joint position stream while reading the positions
// the bridge streams back, and reports how closely the arm follows. The stream is a ReconnectingStream:
// when the bridge restarts (losing its scene), the loop re-creates the arm and carries on.
//
//   corvane-teleop <http base URL> <websocket base URL> [seconds]
#include <corvane/corvane.hpp>

#include <chrono>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kArm = "/World/teleop_arm";

// The operator's hand: a slow wave on the shoulder and elbow.
json targetAt(double t) {
  return {{"joint_positions", {0.6 * std::sin(t), 0.4 * std::sin(0.5 * t) + 0.3}}, {"indices", {1, 3}}};
}

double millis(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

corvane::ReconnectOptions reconnectOptions(corvane::IsaacSimClient& client) {
  corvane::ReconnectOptions options;
  options.policy = corvane::ReconnectPolicy(50ms, 1s);  // unlimited attempts: wait for the bridge to return
  // A 404 to the handshake means the bridge is back without the arm (a restart loses the scene): once it
  // is re-created, the next attempt is made at once.
  options.afterFailedAttempt = [&client](const corvane::FailedAttempt& failed) {
    if (failed.httpStatus != 404) return false;
    client.articulation.create(kArm, std::nullopt);
    return true;
  };
  options.onReconnect = [](const corvane::ReconnectEvent& event) {
    std::cout << "reconnected after " << std::fixed << std::setprecision(0) << millis(event.down) << " ms ("
              << event.attempts << " attempts; lost: " << event.cause << ")" << std::endl;
  };
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: corvane-teleop <http base URL> <websocket base URL> [seconds]\n";
    return 2;
  }
  const double seconds = argc > 3 ? std::atof(argv[3]) : 3.0;
  try {
    corvane::IsaacSimClient client("teleop", argv[1], argv[2], std::chrono::milliseconds(10000), 2);
    client.articulation.create(kArm, std::nullopt);
    corvane::ReconnectingStream stream(client, corvane::ArticulationStream::jointPositions, kArm,
                                       reconnectOptions(client));
    const auto start = std::chrono::steady_clock::now();
    auto nextCommand = start;
    double worst = 0;
    int received = 0;
    for (auto now = start; now - start < std::chrono::duration<double>(seconds);
         now = std::chrono::steady_clock::now()) {
      const double t = std::chrono::duration<double>(now - start).count();
      if (now >= nextCommand) {  // 20 commands a second; one missed while the bridge is away is skipped
        (void)stream.sendFor(targetAt(t).dump(), 5ms);
        nextCommand += 50ms;
      }
      // Only the newest sample matters to the operator: never work through a backlog.
      if (const std::optional<std::string> text = stream.receiveLatest()) {
        const json sample = json::parse(*text);
        if (sample.contains("error"))
          throw std::runtime_error("the bridge refused a target: " + sample["error"].get<std::string>());
        const double error =
            std::abs(sample["joint_positions"][1].get<double>() - targetAt(t)["joint_positions"][0].get<double>());
        worst = std::max(worst, t > 0.5 ? error : 0.0);
        if (++received % 30 == 0) {
          std::cout << std::fixed << std::setprecision(3) << "t=" << t << " shoulder "
                    << sample["joint_positions"][1].get<double>() << " target "
                    << targetAt(t)["joint_positions"][0].get<double>() << std::endl;
        }
      }
      std::this_thread::sleep_for(5ms);
    }
    const corvane::StreamStats stats = stream.stats();
    stream.close();
    client.articulation.remove(kArm);
    std::cout << received << " samples (" << stats.framesSkipped << " skipped as stale), " << stats.reconnections
              << " reconnections, " << std::setprecision(0) << millis(stats.timeDown)
              << " ms without the stream; largest shoulder lag after the first half second: " << std::setprecision(3)
              << worst << " rad" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "failed: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
