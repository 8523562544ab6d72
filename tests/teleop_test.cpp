// The teleop example end to end: the simulated bridge stops and restarts on the same port during the run
// (losing its scene), and the example's reconnecting stream resumes with the arm re-created.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "child_process.hpp"
#include "sim_bridge.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

TEST(Teleop, ResumesWhenTheBridgeRestartsDuringTheRun) {
  bridge_sim::ServerOptions options;
  options.ioThreads = 2;
  options.renderThreads = 1;
  auto server = std::make_unique<bridge_sim::Server>(options);
  server->start();
  options.port = server->port();
  ChildProcess teleop({CORVANE_TELEOP_PATH, server->httpUrl(), server->wsUrl(), "4"});
  const std::optional<std::string> first = teleop.readLine();  // the arm follows: restart now
  ASSERT_TRUE(first && first->rfind("t=", 0) == 0) << first.value_or("(no line)") << teleop.errors();
  server.reset();
  std::this_thread::sleep_for(300ms);
  server = std::make_unique<bridge_sim::Server>(options);
  server->start();

  const std::string output = teleop.output();
  ASSERT_EQ(teleop.wait(), 0) << output << teleop.errors();
  const auto reconnected = output.find("reconnected after");
  ASSERT_NE(reconnected, std::string::npos) << output;
  EXPECT_NE(output.find("t=", reconnected), std::string::npos) << "samples flow again:\n" << output;
  EXPECT_NE(output.find(" 1 reconnections, "), std::string::npos) << output;
}

}  // namespace
}  // namespace corvane
