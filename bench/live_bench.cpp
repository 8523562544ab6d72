// Live viewing: a 640x480 rgb capture loop on the simulated bridge served to one viewer (reading all it gets, or
// stalled: subscribed, then never reading) against the same loop unserved, side by side. The reading viewer
// also gives the capture-to-viewer latency: its receipt against the message's log time (the capture's end).
#include <atomic>
#include <cstring>
#include <ctime>

#include <sys/resource.h>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <corvane/corvane.hpp>
#include <corvane/live/live_server.hpp>
#include <nlohmann/json.hpp>
#include <server.hpp>

#include "support/side_by_side.hpp"

namespace corvane::bench {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

const std::vector<std::string> kRgb = {"rgb"};

double threadCpuUs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

double threadPageFaults() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_minflt);
}

struct CallerCost {
  std::vector<double> cpuUs, faults;
};

std::uint64_t nowNs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

// A viewer on its own thread: subscribes to `topic` when advertised, then reads every message (or, stalled,
// none after subscribing) and keeps the latency of each image.
class Viewer {
 public:
  Viewer(std::uint16_t port, std::string topic, bool stalled) : ws_(ioc_) {
    ws_.next_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    ws_.set_option(websocket::stream_base::decorator([](websocket::request_type& r) {
      r.set(beast::http::field::sec_websocket_protocol, "foxglove.websocket.v1");
    }));
    ws_.handshake("127.0.0.1", "/");
    thread_ = std::thread([this, topic = std::move(topic), stalled] { run(topic, stalled); });
  }
  ~Viewer() {
    done_ = true;
    beast::error_code ignored;
    ws_.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
    thread_.join();
  }
  bool subscribed() const { return subscribed_; }
  std::vector<double> latenciesMs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return latencies_;
  }

 private:
  void run(const std::string& topic, bool stalled) {
    beast::flat_buffer buffer;
    beast::error_code ec;
    while (!done_ && !(stalled && subscribed_)) {
      ws_.read(buffer, ec);
      if (ec) return;
      // Only a text message is copied out: an image is read where it lies, as a viewer that draws it would.
      const std::string m = ws_.got_text() ? beast::buffers_to_string(buffer.data()) : std::string();
      const auto* bytes = static_cast<const char*>(buffer.data().data());
      const std::size_t size = buffer.size();
      if (ws_.got_text()) {
        for (const auto& c : nlohmann::json::parse(m).value("channels", nlohmann::json::array())) {
          if (c["topic"] != topic) continue;
          ws_.text(true);
          ws_.write(net::buffer(
              nlohmann::json{{"op", "subscribe"}, {"subscriptions", {{{"id", 1}, {"channelId", c["id"]}}}}}.dump()));
          subscribed_ = true;
        }
      } else if (size > 13 && bytes[0] == 1) {
        std::uint64_t logTime = 0;
        std::memcpy(&logTime, bytes + 5, 8);
        std::lock_guard<std::mutex> lock(mutex_);
        latencies_.push_back(static_cast<double>(nowNs() - logTime) / 1e6);
      }
      buffer.consume(size);
    }
  }

  net::io_context ioc_;
  websocket::stream<tcp::socket> ws_;
  std::thread thread_;
  std::atomic<bool> done_{false}, subscribed_{false};
  std::mutex mutex_;
  std::vector<double> latencies_;
};

void servedLoop(benchmark::State& state, bool stalled) {
  bridge_sim::ServerOptions options;
  bridge_sim::Server server(options);
  server.start();
  LiveServerOptions serving;
  serving.port = 0;
  serving.stallTimeout = std::chrono::hours(1);  // the stalled viewer stays for the whole run
  LiveServer live(serving);
  ClientOptions observed;
  observed.observer = live.observer();
  IsaacSimClient plain("plain", server.httpUrl(), server.wsUrl(), std::chrono::milliseconds(30000), 0);
  IsaacSimClient served("served", server.httpUrl(), server.wsUrl(), std::chrono::milliseconds(30000), 0, observed);
  const std::string prim = "/World/camera";
  plain.camera.create(prim, std::vector<int>{640, 480});
  (void)served.camera.capture(prim, kRgb);  // advertises the channel
  Viewer viewer(live.port(), prim + "/rgb", stalled);
  for (int i = 0; i < 500 && !viewer.subscribed(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  check(viewer.subscribed(), "the viewer subscribed");
  // The caller's own CPU time per capture, beside the wall time: what serving costs the loop's thread itself,
  // apart from the server's thread and the viewer competing for the cores.
  // Page faults too: memory the loop's thread touches for the first time is paid on it.
  CallerCost servedCost, plainCost;
  auto loop = [&](IsaacSimClient& client, CallerCost& cost) {
    return [&client, &prim, &cost] {
      const double cpu = threadCpuUs(), faults = threadPageFaults();
      check(client.camera.capture(prim, kRgb).outputs.size() == 1, "a 640x480 capture");
      cost.cpuUs.push_back(threadCpuUs() - cpu);
      cost.faults.push_back(threadPageFaults() - faults);
    };
  };
  runSideBySide(state, batchSize(5), {{"lib", loop(served, servedCost)}, {"plain", loop(plain, plainCost)}});
  state.counters["caller_cpu_us_served"] = median(servedCost.cpuUs);
  state.counters["caller_cpu_us_plain"] = median(plainCost.cpuUs);
  state.counters["caller_faults_served"] = median(servedCost.faults);
  state.counters["caller_faults_plain"] = median(plainCost.faults);
  std::vector<double> latencies = viewer.latenciesMs();
  if (!stalled) state.counters["latency_median_ms"] = median(latencies);
  const LiveServerStats stats = live.stats();
  if (!stats.viewers.empty()) {
    std::uint64_t dropped = 0;
    for (const auto& [topic, n] : stats.viewers[0].dropped) dropped += n;
    state.counters["viewer_sent"] = static_cast<double>(stats.viewers[0].sent);
    state.counters["viewer_dropped"] = static_cast<double>(dropped);
  }
}

}  // namespace

void registerBenchmarks() {
  for (const bool stalled : {false, true}) {
    benchmark::RegisterBenchmark(
        stalled ? "live/capture_loop_served_vs_not/stalled_viewer" : "live/capture_loop_served_vs_not/one_viewer",
        servedLoop, stalled)
        ->Iterations(rounds(10))
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace corvane::bench
