// A capture loop served live, for checks by independent viewers (scripts/live-check: Node's Foxglove client
// and headless Chromium on the page). The simulated bridge runs in-process; a 640x480 camera is captured in a
// loop and a joint stream followed, through a client whose observer is the live server's next to a checker.
// Besides the recorder's channels it publishes:
//   /check/pixels  {stamp_ns (a string: JSON numbers lose ns), fnv, mean}: FNV-1a 32 of each rgb capture's bytes,
//                  read from the frame itself, and its mean red, green and blue (for lossy video)
//   /check/loop    {period_ms, frames, closed_stalled}: the median loop period of the last 30 captures
//
//   corvane-live-sample <seconds> [none|h264|av1|jpeg|png]   (prints "port N" once listening)
#include <algorithm>
#include <deque>
#include <iostream>
#include <map>

#include "corvane/live/live_server.hpp"
#include "sim_bridge.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::uint64_t nanos(corvane::ObservedTime t) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

class PixelCheck : public corvane::ClientObserver {
 public:
  explicit PixelCheck(corvane::LiveServer& server) : server_(server) {}
  void onFrame(const corvane::FrameObservation& frame) override {
    for (const auto& output : frame.outputs) {
      if (output.name != "rgb") continue;
      std::uint32_t hash = 2166136261U;
      double sums[3] = {0, 0, 0};
      for (std::size_t i = 0; i < output.size; ++i) {
        hash = (hash ^ static_cast<std::uint8_t>(output.data[i])) * 16777619U;
        sums[i % 3] += static_cast<std::uint8_t>(output.data[i]);
      }
      const double pixels = static_cast<double>(output.size / 3);
      server_.publish("/check/pixels", {{"stamp_ns", std::to_string(nanos(frame.end))},
                                        {"fnv", hash},
                                        {"mean", {sums[0] / pixels, sums[1] / pixels, sums[2] / pixels}}});
    }
  }

 private:
  corvane::LiveServer& server_;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::stod(argv[1]) : 10.0;
  const std::string video = argc > 2 ? argv[2] : "none";
  const std::map<std::string, corvane::VideoFormat> formats{{"none", corvane::VideoFormat::none},
                                                            {"h264", corvane::VideoFormat::h264},
                                                            {"av1", corvane::VideoFormat::av1},
                                                            {"jpeg", corvane::VideoFormat::jpeg},
                                                            {"png", corvane::VideoFormat::png}};
  corvane::testing::SimBridge bridge;
  corvane::LiveServerOptions options;
  options.port = 0;
  options.stallTimeout = 2s;
  options.video = formats.at(video);
  corvane::LiveServer server(options);
  corvane::ClientOptions clientOptions;
  clientOptions.observer = corvane::observeAll({server.observer(), std::make_shared<PixelCheck>(server)});
  corvane::IsaacSimClient client("live-sample", bridge.server().httpUrl(), bridge.server().wsUrl(), 10s, 0,
                                 clientOptions);
  client.articulation.create("/World/arm");
  client.camera.create("/World/camera", std::vector<int>{640, 480});
  corvane::WebSocketStream stream = client.openJointPositionStream("/World/arm");
  std::cout << "port " << server.port() << std::endl;

  std::deque<double> periods;
  std::uint64_t frames = 0;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  auto last = Clock::now();
  while (Clock::now() < end) {
    (void)client.camera.capture("/World/camera", std::vector<std::string>{"rgb"});
    stream.send(R"({"joint_positions":[)" + std::to_string(std::sin(frames * 0.05)) + "],\"indices\":[0]}");
    while (stream.receiveFor(0ms)) {
    }
    const auto now = Clock::now();
    periods.push_back(std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
    if (periods.size() > 30) periods.pop_front();
    std::vector<double> sorted(periods.begin(), periods.end());
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    server.publish("/check/loop", {{"period_ms", sorted[sorted.size() / 2]},
                                   {"frames", ++frames},
                                   {"closed_stalled", server.stats().closedStalled}});
  }
  return 0;
}
