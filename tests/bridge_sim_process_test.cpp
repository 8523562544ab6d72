// corvane-bridge-sim as a program: the URL line scripts read, --log, bad options, and a clean stop on
// SIGTERM and SIGINT.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "child_process.hpp"
#include "corvane/corvane.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

TEST(BridgeSimProgram, PrintsItsUrlsFirstServesLogsAndStopsOnSignals) {
  for (const int sig : {SIGTERM, SIGINT}) {
    ChildProcess program({CORVANE_BRIDGE_SIM_PATH, "--port", "0", "--log"});
    const std::string line = program.readLine().value_or("");
    const auto space = line.find(' ');
    ASSERT_NE(space, std::string::npos) << line;
    const std::string http = line.substr(0, space);
    const std::string ws = line.substr(space + 1);
    EXPECT_EQ(http.rfind("http://127.0.0.1:", 0), 0u) << line;
    EXPECT_EQ(ws, "ws://" + http.substr(7)) << "one port for both";
    IsaacSimClient client("process", http, ws, 5000ms, 0);
    EXPECT_EQ(client.put("/cameras", R"({"prim_path":"/World/cam"})").status, 201);
    EXPECT_EQ(client.get("/cameras//World/cam").status, 405);
    EXPECT_EQ(program.stop(sig), 0) << "a clean stop on signal " << sig;
    const std::string log = program.errors();
    EXPECT_NE(log.find("PUT /cameras -> 201"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /cameras//World/cam -> 405"), std::string::npos) << log;
  }
}

TEST(BridgeSimProgram, RefusesBadOptionsAndBusyPorts) {
  ChildProcess bad({CORVANE_BRIDGE_SIM_PATH, "--port", "70000"});
  EXPECT_EQ(bad.wait(), 2);
  EXPECT_NE(bad.errors().find("--port needs a whole number"), std::string::npos);
  ChildProcess unknown({CORVANE_BRIDGE_SIM_PATH, "--colour"});
  EXPECT_EQ(unknown.wait(), 2);
  EXPECT_NE(unknown.errors().find("unknown option --colour"), std::string::npos);

  ChildProcess first({CORVANE_BRIDGE_SIM_PATH});
  const std::string line = first.readLine().value_or("");
  const std::string port = line.substr(line.rfind(':') + 1, line.size() - line.rfind(':') - 2);
  ChildProcess second({CORVANE_BRIDGE_SIM_PATH, "--port", port});
  EXPECT_EQ(second.wait(), 1);
  EXPECT_NE(second.errors().find("cannot listen"), std::string::npos);
  ChildProcess help({CORVANE_BRIDGE_SIM_PATH, "--help"});
  EXPECT_NE(help.readLine().value_or("").find("Usage: corvane-bridge-sim"), std::string::npos);
  EXPECT_EQ(help.wait(), 0);
  ChildProcess version({CORVANE_BRIDGE_SIM_PATH, "--version"});
  EXPECT_EQ(version.readLine().value_or(""), "corvane-bridge-sim " CORVANE_VERSION_STRING);
  EXPECT_EQ(version.wait(), 0);
}

}  // namespace
}  // namespace corvane
