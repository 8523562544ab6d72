// Logging what a client does through its observer: one line per REST exchange, stream event and frame.
//
//   corvane-observe-log <http base URL> <websocket base URL>
#include <corvane/corvane.hpp>

#include <chrono>
#include <iostream>
#include <memory>
#include <mutex>

namespace {

using namespace std::chrono_literals;

double millisBetween(corvane::ObservedTime start, corvane::ObservedTime end) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

class LineLog : public corvane::ClientObserver {
 public:
  void onRestExchange(const corvane::RestExchange& e) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::clog << "rest   " << e.method << ' ' << e.path << " -> ";
    if (e.response != nullptr) {
      std::clog << e.response->status << " (" << e.response->body.size() << " bytes)";
    } else {
      try {
        std::rethrow_exception(e.error);
      } catch (const std::exception& error) {
        std::clog << "failed: " << error.what();
      }
    }
    std::clog << ", " << e.attempts << " attempt(s), " << millisBetween(e.start, e.end) << " ms\n";
  }

  void onStreamEvent(const corvane::StreamEvent& e) override {
    static const char* const kKinds[] = {"opened", "sent", "received", "closed by bridge", "closed", "reconnected"};
    const std::lock_guard<std::mutex> lock(mutex_);
    std::clog << "stream " << kKinds[static_cast<int>(e.kind)] << ' ' << e.url;
    if (!e.message.empty()) std::clog << ": " << e.message.substr(0, 80);
    std::clog << '\n';
  }

  void onFrame(const corvane::FrameObservation& f) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::clog << "frame  " << f.cameraPrim << ':';
    for (const auto& output : f.outputs) std::clog << ' ' << output.name << '[' << output.dtype << ']';
    std::clog << " in " << millisBetween(f.start, f.end) << " ms\n";
  }

 private:
  std::mutex mutex_;  // one client may be used from several threads
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: " << argv[0] << " <http base URL> <websocket base URL>\n";
    return 2;
  }
  corvane::ClientOptions options;
  options.observer = std::make_shared<LineLog>();
  corvane::IsaacSimClient client("logged", argv[1], argv[2], 5s, 2, options);
  try {
    client.articulation.create("/World/arm", std::nullopt);
    client.camera.create("/World/camera", std::vector<int>{64, 48});
    (void)client.camera.capture("/World/camera");
    corvane::WebSocketStream stream = client.openJointPositionStream("/World/arm");
    stream.send(R"({"joint_positions":[0.2],"indices":[0]})");
    (void)stream.receiveFor(1s);
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
