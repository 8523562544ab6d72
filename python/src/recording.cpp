// corvane.Recorder and the reader behind corvane.recording: messages come out with their bytes as a buffer
// that views the decompressed chunk (numpy reads it in place).
#include <corvane/record/recorder.hpp>
#include <corvane/record/recording_reader.hpp>

#include <algorithm>
#include <map>
#include <memory>

#include "binding.hpp"
#include "json_convert.hpp"
#include "recorder_slot.hpp"
#include "recording.hpp"
#include "step.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;

Compression compressionOf(const std::string& name) {
  if (name == "zstd") return Compression::zstd;
  if (name == "lz4") return Compression::lz4;
  if (name == "none" || name.empty()) return Compression::none;
  throw py::value_error("compression must be 'zstd', 'lz4' or 'none'");
}

// video: a format for every colour output, or a dict of output name -> format ("*" for the rest).
void setVideo(RecorderOptions& options, const py::object& video, double keyframeInterval, int videoQuality,
              int jpegQuality) {
  if (py::isinstance<py::dict>(video)) {
    for (const auto& [name, format] : video.cast<py::dict>()) {
      const auto output = name.cast<std::string>();
      if (output == "*")
        options.video = videoFormatOf(format.cast<std::string>());
      else
        options.videoByOutput[output] = videoFormatOf(format.cast<std::string>());
    }
  } else if (!video.is_none()) {
    options.video = videoFormatOf(video.cast<std::string>());
  }
  options.keyframeInterval = millisecondsOf(keyframeInterval, "keyframe_interval");
  if (videoQuality < 0 || videoQuality > 51) throw py::value_error("video_quality must be from 0 to 51");
  if (jpegQuality < 1 || jpegQuality > 100) throw py::value_error("jpeg_quality must be from 1 to 100");
  options.videoQuality = videoQuality;
  options.jpegQuality = jpegQuality;
}

std::unique_ptr<Recorder> makeRecorder(const py::object& path, const std::string& compression, std::size_t chunkSize,
                                       double chunkInterval, std::size_t queueBytes, const py::object& video,
                                       double keyframeInterval, int videoQuality, int jpegQuality) {
  RecorderOptions options;
  setVideo(options, video, keyframeInterval, videoQuality, jpegQuality);
  options.compression = compressionOf(compression);
  options.chunkSize = chunkSize;
  options.chunkInterval = millisecondsOf(chunkInterval, "chunk_interval");
  options.queueBytes = queueBytes;
  const auto file = py::module_::import("os").attr("fspath")(path).cast<std::string>();
  // open(2) may block (a FIFO waits for its reader, which may be a thread of this process)
  return released([&] { return std::make_unique<Recorder>(file, options); });
}

// The latest log time a recording holds: nanoseconds since the epoch as a signed 64-bit count (year 2262).
constexpr double kLatestTime = 9.2e9;

ObservedTime observedTimeOf(double seconds) {
  if (!(seconds >= 0 && seconds < kLatestTime)) {  // NaN fails both
    throw py::value_error("time must be seconds since the Unix epoch, from 0 to 9.2e9 (not milliseconds), got " +
                          py::repr(py::float_(seconds)).cast<std::string>());
  }
  return ObservedTime(std::chrono::duration_cast<ObservedTime::duration>(std::chrono::duration<double>(seconds)));
}

void write(Recorder& recorder, std::string_view topic, const nlohmann::json& message, std::optional<double> time) {
  std::optional<ObservedTime> at;
  if (time) at = observedTimeOf(*time);
  released([&] { recorder.write(topic, message, at); });
}

py::dict statsOf(const Recorder& recorder) {
  const RecorderStats s = recorder.stats();
  return py::dict("messages"_a = s.messages, "bytes"_a = s.bytes, "chunks"_a = s.chunks,
                  "queue_high_water"_a = s.queueHighWater, "queue_high_water_bytes"_a = s.queueHighWaterBytes,
                  "waited"_a = secondsOf(s.waited), "dropped"_a = s.dropped);
}

// The reader and the cursor share the reader's lifetime.
struct Reader {
  explicit Reader(const std::string& path) : reader(std::make_shared<RecordingReader>(path)) {}
  std::shared_ptr<RecordingReader> reader;
};

struct Cursor {
  std::shared_ptr<RecordingReader> reader;
  MessageCursor cursor;
};

py::object nextMessage(Cursor& c) {
  auto message = released([&] { return c.cursor.next(); });
  if (!message) throw py::stop_iteration();
  const RecordingChannel& channel = *message->channel;
  const auto schema = c.reader->schemas().find(channel.schemaId);
  const std::string schemaName = schema == c.reader->schemas().end() ? "" : schema->second.name;
  return py::make_tuple(channel.topic, message->logTime, message->publishTime, channel.messageEncoding, schemaName,
                        MessageBytes{std::move(message->storage), message->data});
}

Cursor messagesOf(const Reader& r, const std::optional<std::vector<std::string>>& topics,
                  std::optional<std::uint64_t> start, std::optional<std::uint64_t> end) {
  RecordingFilter filter;
  if (topics) filter.topics = *topics;
  if (start) filter.startTime = *start;
  if (end) filter.endTime = *end;
  return Cursor{r.reader, r.reader->messages(filter)};
}

py::list channelsOf(const Reader& r) {
  py::list out;
  const auto& stats = r.reader->statistics().channelMessageCounts;
  for (const auto& [id, c] : r.reader->channels()) {
    const auto schema = r.reader->schemas().find(c.schemaId);
    const auto count = stats.find(id);
    out.append(py::dict("id"_a = id, "topic"_a = c.topic, "message_encoding"_a = c.messageEncoding,
                        "schema"_a = schema == r.reader->schemas().end() ? "" : schema->second.name,
                        "schema_encoding"_a = schema == r.reader->schemas().end() ? "" : schema->second.encoding,
                        "schema_data"_a = py::bytes(schema == r.reader->schemas().end() ? "" : schema->second.data),
                        "messages"_a = count == stats.end() ? 0 : count->second, "schema_id"_a = c.schemaId));
  }
  return out;
}

py::list schemasOf(const Reader& r) {
  py::list out;
  for (const auto& [id, s] : r.reader->schemas()) {
    out.append(py::dict("id"_a = id, "name"_a = s.name, "encoding"_a = s.encoding, "data"_a = py::bytes(s.data)));
  }
  return out;
}

py::list chunksOf(const Reader& r) {
  py::list out;
  for (const auto& c : r.reader->chunks()) {
    out.append(py::dict("start"_a = c.startTime, "end"_a = c.endTime, "offset"_a = c.offset, "length"_a = c.length,
                        "compression"_a = c.compression, "compressed_size"_a = c.compressedSize,
                        "uncompressed_size"_a = c.uncompressedSize));
  }
  return out;
}

py::dict skippedChunksOf(const Reader& r) {
  const RecordingSkipped& s = r.reader->skipped();
  return py::dict("crc"_a = s.chunksFailingCrc, "compression"_a = s.chunksUndecompressed,
                  "malformed"_a = s.chunksMalformed);
}

py::dict skippedRecordsOf(const Reader& r) {
  const RecordingSkipped& s = r.reader->skipped();
  return py::dict("attachments"_a = s.attachments, "unknown"_a = s.unknownRecords,
                  "messages"_a = s.messagesWithoutChannel);
}

}  // namespace

std::shared_ptr<ClientObserver> observerOf(const py::object& recorder) {
  if (py::isinstance<py::list>(recorder) || py::isinstance<py::tuple>(recorder)) {
    std::vector<std::shared_ptr<ClientObserver>> all;
    for (const py::handle one : recorder) all.push_back(observerOf(py::reinterpret_borrow<py::object>(one)));
    return observeAll(std::move(all));
  }
  if (auto slot = slotObserverOf(recorder)) return slot;
  if (auto live = liveObserverOf(recorder)) return live;
  if (!py::isinstance<Recorder>(recorder)) {
    throw py::type_error("recorder must be a corvane.Recorder, RecorderSlot or LiveServer, or a list of them");
  }
  return recorder.cast<Recorder&>().observer();
}

void bindRecording(py::module_& module) {
  py::class_<MessageBytes>(module, "MessageBytes", py::buffer_protocol(),
                           "A recorded message's bytes, read in place (memoryview, numpy.frombuffer).")
      .def_buffer([](MessageBytes& b) {
        return py::buffer_info(const_cast<char*>(b.data.data()), 1, "B", 1, {b.data.size()}, {1}, true);
      })
      .def("__len__", [](const MessageBytes& b) { return b.data.size(); })
      .def("__bytes__", [](const MessageBytes& b) { return py::bytes(b.data.data(), b.data.size()); });

  py::class_<Recorder> recorder(
      module, "Recorder",
      "Records what a client does to an MCAP file: pass it as Client(..., recorder=...).\n"
      "compression: 'zstd', 'lz4' or 'none'; chunk_interval in seconds. A writer thread of its own\n"
      "writes the file; a full queue makes the recording call wait, within the call's deadline and\n"
      "interruption (then the message is dropped and counted in stats()['dropped']).");
  recorder
      .def(py::init(&makeRecorder), "path"_a, py::kw_only(), "compression"_a = "zstd", "chunk_size"_a = 4U << 20,
           "chunk_interval"_a = 1.0, "queue_bytes"_a = 256U << 20, "video"_a = py::none(), "keyframe_interval"_a = 1.0,
           "video_quality"_a = 23, "jpeg_quality"_a = 90,
           "Opens `path` for recording (RecordingError when it cannot be created). A chunk closes at\n"
           "`chunk_size` uncompressed bytes or after `chunk_interval` seconds; at most `queue_bytes` of messages\n"
           "wait for the writer thread.\n"
           "video: how colour camera outputs are recorded: 'h264' or 'av1' (foxglove.CompressedVideo, a keyframe\n"
           "at least every `keyframe_interval` seconds, `video_quality` the CRF), 'jpeg' (at `jpeg_quality`) or\n"
           "'png' (foxglove.CompressedImage), 'none' (raw, the default); or a dict of output name -> format,\n"
           "'*' for the other outputs. Depth and other outputs stay lossless.")
      .def("write", &write, "topic"_a, "message"_a, "time"_a = py::none(),
           "Records a JSON object on `topic`, logged at `time` (seconds since the Unix epoch; default now).\n"
           "ValueError for a time that is not one (negative, NaN, infinite, past 9.2e9: milliseconds).")
      .def(
          "close", [](Recorder& r) { released([&] { r.close(); }); },
          "Writes the summary and closes the file (RecordingError when writing failed).")
      .def("stats", &statsOf,
           "A dict: messages, bytes and chunks written, the queue's high-water marks (messages and bytes) and\n"
           "the seconds recording calls waited for room, and the messages dropped because their call's deadline\n"
           "or interruption (Ctrl-C, a cancelled task) came while it waited.")
      .def_property_readonly("path", &Recorder::path, "The file being written.")
      .def(
          "__enter__", [](Recorder& r) -> Recorder& { return r; }, "Returns the recorder.")
      .def(
          "__exit__", [](Recorder& r, const py::args&) { released([&] { r.close(); }); }, "Closes the recording.");
  bindStaticTransform(recorder, kStaticTransformDoc);
  bindStep(recorder);

  py::class_<Cursor>(module, "_MessageCursor")
      .def("__iter__", [](Cursor& c) -> Cursor& { return c; })
      .def("__next__", &nextMessage);

  py::class_<Reader>(module, "_RecordingReader")
      .def(py::init([](const py::object& path) {
             return Reader(py::module_::import("os").attr("fspath")(path).cast<std::string>());
           }),
           "path"_a)
      .def_property_readonly("indexed", [](const Reader& r) { return r.reader->indexed(); })
      .def_property_readonly("file_size", [](const Reader& r) { return r.reader->fileSize(); })
      .def_property_readonly("torn_bytes", [](const Reader& r) { return r.reader->tornBytes(); })
      .def_property_readonly("cut_short", [](const Reader& r) { return r.reader->cutShort(); })
      .def_property_readonly("library", [](const Reader& r) { return r.reader->library(); })
      .def_property_readonly("message_count", [](const Reader& r) { return r.reader->statistics().messageCount; })
      .def_property_readonly("start_time", [](const Reader& r) { return r.reader->statistics().startTime; })
      .def_property_readonly("end_time", [](const Reader& r) { return r.reader->statistics().endTime; })
      .def_property_readonly("skipped_chunks", &skippedChunksOf)
      .def_property_readonly("skipped_records", &skippedRecordsOf)
      .def_property_readonly("metadata_names", [](const Reader& r) { return r.reader->metadataNames(); })
      .def_property_readonly("channels", &channelsOf)
      .def_property_readonly("schemas", &schemasOf)
      .def_property_readonly("chunks", &chunksOf)
      .def("messages", &messagesOf, "topics"_a = py::none(), "start"_a = py::none(), "end"_a = py::none())
      .def("steps", [](const Reader& r) { return stepsOf(r.reader); });
  bindSteps(module);
}

VideoFormat videoFormatOf(const std::string& name) {
  static const std::map<std::string, VideoFormat> kNames{{"none", VideoFormat::none},
                                                         {"h264", VideoFormat::h264},
                                                         {"av1", VideoFormat::av1},
                                                         {"jpeg", VideoFormat::jpeg},
                                                         {"png", VideoFormat::png}};
  const auto found = kNames.find(name);
  if (found == kNames.end())
    throw py::value_error("video must be 'h264', 'av1', 'jpeg', 'png' or 'none', not '" + name + "'");
  return found->second;
}

FrameTransform frameTransformOf(const std::string& child, const std::vector<double>& translation,
                                const std::vector<double>& rotation, const std::string& parent) {
  if (translation.size() != 3) throw py::value_error("translation must be 3 numbers (x, y, z)");
  if (rotation.size() != 4) throw py::value_error("rotation must be 4 numbers (a quaternion x, y, z, w)");
  FrameTransform t;
  t.parentFrame = parent;
  t.childFrame = child;
  std::copy(translation.begin(), translation.end(), t.translation.begin());
  std::copy(rotation.begin(), rotation.end(), t.rotation.begin());
  return t;
}

const char* const kStaticTransformDoc =
    "Publishes a transform the bridge does not report (a camera fixed to a robot's body) on '/transforms' as\n"
    "foxglove.FrameTransform: `child_frame` (a camera's frame is its prim path) placed in `parent_frame` by\n"
    "`translation` (x, y, z) and `rotation` (a unit quaternion x, y, z, w). ValueError for an empty frame or a\n"
    "rotation that is not a unit quaternion.";

}  // namespace corvane::python
