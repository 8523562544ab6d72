// corvane.LiveServer: a client's observations served live over the Foxglove WebSocket protocol.
#include <corvane/live/live_server.hpp>

#include <memory>

#include "binding.hpp"
#include "json_convert.hpp"
#include "recording.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;

std::unique_ptr<LiveServer> makeServer(int port, const std::string& host, const std::string& name, bool time,
                                       std::size_t queueBytes, double stallTimeout, const std::string& video,
                                       double keyframeInterval, int videoQuality, int jpegQuality) {
  if (port < 0 || port > 65535) throw py::value_error("port must be 0 to 65535");
  LiveServerOptions options;
  options.port = static_cast<std::uint16_t>(port);
  options.host = host;
  options.name = name;
  options.timeCapability = time;
  options.viewerQueueBytes = queueBytes;
  options.stallTimeout = millisecondsOf(stallTimeout, "stall_timeout");
  options.video = videoFormatOf(video);
  options.keyframeInterval = millisecondsOf(keyframeInterval, "keyframe_interval");
  if (videoQuality < 0 || videoQuality > 51) throw py::value_error("video_quality must be from 0 to 51");
  if (jpegQuality < 1 || jpegQuality > 100) throw py::value_error("jpeg_quality must be from 1 to 100");
  options.videoQuality = videoQuality;
  options.jpegQuality = jpegQuality;
  return std::make_unique<LiveServer>(options);
}

void publish(LiveServer& server, std::string_view topic, const nlohmann::json& message, std::optional<double> time) {
  std::optional<ObservedTime> at;
  if (time) {
    at = ObservedTime(std::chrono::duration_cast<ObservedTime::duration>(std::chrono::duration<double>(*time)));
  }
  released([&] { server.publish(topic, message, at); });
}

void publishMessage(LiveServer& server, const py::dict& channel, const py::buffer& data, std::uint64_t logTime,
                    bool keyframe) {
  LiveChannel c;
  c.topic = channel["topic"].cast<std::string>();
  c.messageEncoding = channel["message_encoding"].cast<std::string>();
  c.schemaName = channel.contains("schema") ? channel["schema"].cast<std::string>() : "";
  c.schemaEncoding = channel.contains("schema_encoding") ? channel["schema_encoding"].cast<std::string>() : "";
  c.schema = channel.contains("schema_data") ? channel["schema_data"].cast<std::string>() : "";
  c.newestWins = channel.contains("newest_wins") && channel["newest_wins"].cast<bool>();
  const py::buffer_info info = data.request();
  std::string payload(static_cast<const char*>(info.ptr), static_cast<std::size_t>(info.size * info.itemsize));
  released([&] { server.publishMessage(c, std::move(payload), logTime, keyframe); });
}

py::dict statsOf(const LiveServer& server) {
  const LiveServerStats s = server.stats();
  py::list viewers;
  for (const LiveViewerStats& v : s.viewers) {
    viewers.append(py::dict("subprotocol"_a = v.subprotocol, "sent"_a = v.sent, "dropped"_a = v.dropped,
                            "queued_bytes"_a = v.queuedBytes));
  }
  return py::dict("viewers"_a = viewers, "published"_a = s.published, "closed_stalled"_a = s.closedStalled,
                  "refused"_a = s.refused);
}

}  // namespace

std::shared_ptr<ClientObserver> liveObserverOf(const py::object& server) {
  if (!py::isinstance<LiveServer>(server)) return nullptr;
  return server.cast<LiveServer&>().observer();
}

void bindLive(py::module_& module) {
  static const std::string transformDoc =
      std::string(kStaticTransformDoc) + "\nViewers that subscribe later get it too.";
  py::class_<LiveServer> server(
      module, "LiveServer",
      "Serves what a client sees live over the Foxglove WebSocket protocol (Foxglove, its open-source fork, or\n"
      "the page at http://HOST:PORT/): Client(..., recorder=server), or recorder=[recorder, server] to record\n"
      "too. Channels and bytes are the recorder's. Each viewer has a bounded queue where the newest image wins;\n"
      "a viewer that stops reading is closed after stall_timeout seconds. Binds 127.0.0.1 unless host says\n"
      "otherwise. Runs one thread of its own.");
  server
      .def(py::init(&makeServer), "port"_a = 8765, "host"_a = "127.0.0.1", py::kw_only(), "name"_a = "corvane",
           "time"_a = false, "queue_bytes"_a = 8U << 20, "stall_timeout"_a = 5.0, "video"_a = "none",
           "keyframe_interval"_a = 1.0, "video_quality"_a = 23, "jpeg_quality"_a = 90,
           "Listens on host:port (port 0: a free one); time=True announces the 'time' capability.\n"
           "video: colour camera outputs served as the Recorder's 'h264' or 'av1' video, 'jpeg' or 'png' images\n"
           "(encoded on a thread of the server's own), or raw ('none', the default).")
      .def("publish", &publish, "topic"_a, "message"_a, "time"_a = py::none(),
           "Publishes a JSON object on `topic`, logged at `time` (seconds since the Unix epoch; default now).")
      .def("publish_message", &publishMessage, "channel"_a, "data"_a, "log_time"_a, "keyframe"_a = true,
           "Publishes `data` as it is on `channel` (a dict: topic, message_encoding, schema, schema_encoding,\n"
           "schema_data, newest_wins), logged at `log_time` ns: a recording's messages played back.\n"
           "keyframe=False: a video delta frame, not sent to a viewer that missed frames since the last keyframe.")
      .def(
          "remove_channel", [](LiveServer& s, const std::string& topic) { released([&] { s.removeChannel(topic); }); },
          "topic"_a, "Unadvertises the channels of `topic`; publishing on it again advertises it anew.")
      .def(
          "publish_time", [](LiveServer& s, std::uint64_t ns) { released([&] { s.publishTime(ns); }); }, "time"_a,
          "Sends the viewers' clock in ns (with time=True).")
      .def_property_readonly("port", &LiveServer::port, "The port listened on.")
      .def_property_readonly("session_id", &LiveServer::sessionId, "This server's session id.")
      .def("stats", &statsOf,
           "A dict: viewers (subprotocol, sent, dropped by topic, queued_bytes each), published, closed_stalled,\n"
           "refused.")
      .def(
          "close", [](LiveServer& s) { released([&] { s.close(); }); }, "Closes every connection and the server.")
      .def(
          "__enter__", [](LiveServer& s) -> LiveServer& { return s; }, "Returns the server.")
      .def(
          "__exit__", [](LiveServer& s, const py::args&) { released([&] { s.close(); }); }, "Closes the server.");
  bindStaticTransform(server, transformDoc.c_str());
}

}  // namespace corvane::python
