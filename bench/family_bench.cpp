// A family call end to end against the bare round trip it makes: what building the JSON body and parsing
// the JSON reply add on top of client.get / client.post, with 7 joints (an arm) and 1,000.
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include <corvane/corvane.hpp>

#include "support/side_by_side.hpp"
#include "test_bridge.hpp"

namespace corvane::bench {
namespace {

std::string primFor(int joints) { return "/World/arm" + std::to_string(joints); }
std::string pathFor(int joints, const char* suffix) { return "/articulations/" + primFor(joints) + suffix; }

std::vector<double> positions(int joints) {
  std::vector<double> values;
  for (int i = 0; i < joints; ++i) values.push_back(std::sin(0.37 * i) * 1.5);
  return values;
}

// A joints_state reply of the usual shape: names, positions, velocities and efforts per joint.
std::string jointsStateReply(int joints) {
  nlohmann::json state = {{"joint_names", nlohmann::json::array()}};
  for (int i = 0; i < joints; ++i) state["joint_names"].push_back("panda_joint" + std::to_string(i + 1));
  state["positions"] = positions(joints);
  state["velocities"] = nlohmann::json::array();
  state["efforts"] = nlohmann::json::array();
  for (int i = 0; i < joints; ++i) {
    state["velocities"].push_back(std::cos(0.11 * i) * 0.25);
    state["efforts"].push_back(std::cos(0.53 * i) * 12.5);
  }
  return state.dump();
}

testing::CannedRoutes routes() {
  testing::CannedRoutes routes;
  for (const int joints : {7, 1000}) {
    routes.http[pathFor(joints, "/joints_state")] = jointsStateReply(joints);
    routes.http[pathFor(joints, "/set_j")] = R"({"success":true})";
  }
  return routes;
}

IsaacSimClient makeClient(const testing::TestBridge& server) {
  return IsaacSimClient("bench", server.baseUrl(), server.wsBaseUrl(), std::chrono::milliseconds(5000), 0);
}

void getJointsState(benchmark::State& state, int joints) {
  testing::TestBridge server(routes());
  IsaacSimClient client = makeClient(server);
  const std::string prim = primFor(joints);
  const std::string path = pathFor(joints, "/joints_state");
  runSideBySide(state, batchSize(joints > 100 ? 20 : 100),
                {{"lib",
                  [&] {
                    const nlohmann::json reply = client.articulation.getJointsState(prim);
                    check(reply.at("positions").size() == static_cast<std::size_t>(joints), "joints_state reply");
                  }},
                 {"get", [&] {
                    const HttpResponse reply = client.get(path);
                    check(reply.status == 200 && !reply.body.empty(), "client.get reply");
                  }}});
}

void setJointPositions(benchmark::State& state, int joints) {
  testing::TestBridge server(routes());
  IsaacSimClient client = makeClient(server);
  const std::string prim = primFor(joints);
  const std::string path = pathFor(joints, "/set_j");
  const std::vector<double> targets = positions(joints);
  const std::string body = nlohmann::json{{"indices", nullptr}, {"joint_positions", targets}}.dump();
  runSideBySide(state, batchSize(joints > 100 ? 20 : 100),
                {{"lib",
                  [&] {
                    const nlohmann::json reply = client.articulation.setJointPositions(prim, targets);
                    check(reply.at("success") == true, "set_j reply");
                  }},
                 {"post", [&] {
                    const HttpResponse reply = client.post(path, body);
                    check(reply.status == 200, "client.post reply");
                  }}});
}

}  // namespace

void registerBenchmarks() {
  for (const int joints : {7, 1000}) {
    const std::string suffix = "/" + std::to_string(joints) + "_joints";
    benchmark::RegisterBenchmark(("family/getJointsState_vs_get" + suffix).c_str(), getJointsState, joints)
        ->Iterations(rounds(20))
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("family/setJointPositions_vs_post" + suffix).c_str(), setJointPositions, joints)
        ->Iterations(rounds(20))
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace corvane::bench
