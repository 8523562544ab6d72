#pragma once

// Recording a client's session to an MCAP file that Foxglove opens and RecordingReader reads back.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "corvane/export.hpp"
#include "corvane/observer.hpp"
#include "corvane/record/channel_options.hpp"
#include "corvane/record/mcap_writer.hpp"
#include "corvane/record/step.hpp"

namespace corvane {

namespace detail {
struct RecorderState;  // defined in src/record/recorder.cpp
}  // namespace detail

struct CORVANE_API RecorderOptions {
  Compression compression = Compression::zstd;
  /// See McapWriterOptions: a chunk closes at this many uncompressed bytes, or after chunkInterval.
  std::size_t chunkSize = 4U << 20;
  std::chrono::milliseconds chunkInterval{1000};
  /// The most message bytes waiting for the writer thread; a recording call that would go past it waits
  /// (one message larger than this waits for an empty queue). An observed call waits within its own limits
  /// (ObservedCall): when its deadline passes first, the message is dropped (RecorderStats::dropped) and the
  /// call returns as it would have; when its interruption hook asks to stop (Ctrl-C, a cancelled task), the
  /// message is dropped and the call ends with InterruptedError. write() waits for room.
  std::size_t queueBytes = 256U << 20;
  /// Colour outputs as video or compressed images; outputs of other kinds (depth, segmentation) stay lossless.
  VideoFormat video = VideoFormat::none;
  /// Per output name ("rgb"): a format other than `video` for that output.
  std::map<std::string, VideoFormat> videoByOutput{};
  /// Video: the longest time from one keyframe to the next on a channel.
  std::chrono::milliseconds keyframeInterval{1000};
  int videoQuality = 23;   ///< video: constant-quality factor (CRF), lower is better and larger
  int jpegQuality = 90;    ///< jpeg: 1 to 100
  int encoderThreads = 1;  ///< video: threads per encoder (1 encodes on the writer thread alone)
};

struct CORVANE_API RecorderStats {
  std::uint64_t messages = 0;      ///< messages written to the file
  std::uint64_t bytes = 0;         ///< bytes written to the file
  std::uint64_t chunks = 0;        ///< chunks written
  std::size_t queueHighWater = 0;  ///< the most messages that waited for the writer at once
  std::size_t queueHighWaterBytes = 0;
  std::chrono::nanoseconds waited{};  ///< time recording calls spent waiting for room in the queue
  std::uint64_t dropped = 0;          ///< messages not recorded: their call's deadline or interruption came first
};

/// What Recorder::observer() returns: a client observer that also takes the recorder's steps, for a host that
/// holds observers only (one that swaps a client's recorder from one episode to the next).
class CORVANE_API RecordingObserver : public ClientObserver {
 public:
  ~RecordingObserver() override;
  /// As Recorder::step; throws std::logic_error once the recorder is closed or gone.
  virtual std::uint64_t step(const StepInput& input) = 0;
};

/// Records what a client does into an MCAP file: give observer() to ClientOptions::observer (one recorder may
/// observe several clients). What lands where:
///   - each REST exchange, as JSON (JSON Schema corvane.RestExchange) on "/rest" + its path with runs of
///     slashes made one (e.g. "/rest/articulations/World/arm/joints_state"): method, path, request, status,
///     reply (parsed when it is JSON; binary replies such as captures give their size only), reply headers,
///     error, attempts, start_ns and end_ns;
///   - each stream message as JSON on the stream's topic ("/World/arm/stream_joint_positions", sent messages on
///     ".../sent"; joint samples with JSON Schema corvane.JointSample); opens, closes and reconnections on
///     ".../events";
///   - each decoded capture: every output on "<camera prim>/<output>"; uint8 HxWx3 / HxWx4 / HxW, uint16 HxW and
///     float32 HxW outputs as ros1 sensor_msgs/Image (rgb8, rgba8, mono8, 16UC1, 32FC1; Foxglove's Image panel
///     shows them), any other output as ros1 corvane_msgs/NDArray (dtype, shape, bytes; segmentation also
///     colourised as rgb8 on ".../colorized"); the rest of the capture's result tree on "<camera prim>/capture";
///     the camera's foxglove.CameraCalibration on ".../calibration" and, when reported, its pose as
///     foxglove.FrameTransform on ".../transform";
///   - setStaticTransform(): the user's own transforms, as foxglove.FrameTransform on "/transforms";
///   - with RecorderOptions::video, colour outputs (uint8 HxWx3 / HxWx4) instead as protobuf
///     foxglove.CompressedVideo (h264, av1: one frame per message, the channel's first message a keyframe,
///     then one at least every keyframeInterval, H.264 as Annex B with SPS and PPS before each keyframe) or
///     foxglove.CompressedImage (jpeg, png). H.264 and AV1 need an even width and height: other sizes are
///     recorded as png. A recording cut short keeps whole chunks only, so every frame it holds still has its
///     keyframe and the frames between in the file (readers decode from the keyframe before a time window);
///   - write(topic, json): the caller's own messages (task labels, episode starts and ends);
///   - step(input): a demonstration's step, all its messages at one log time: each observation key on
///     "/step/observation/<key>" (an image as sensor_msgs/Image when shaped as one, else corvane_msgs/NDArray;
///     never video), the action on "/step/action" (named ones on "/step/action/<key>"), then {index, keys,
///     action, action_keys, reward, done, time} as JSON on "/step".
/// Log times are the client's wall-clock readings (the end of the exchange, the arrival of a message) in ns
/// since the Unix epoch; publish times are the starts.
///
/// Threads: the recorder starts one writer thread of its own (the client still starts none) that writes the
/// file behind a bounded queue; recording calls only encode and queue, and wait when the queue is full
/// (within the call's deadline and interruption hook: see RecorderOptions::queueBytes). Video and compressed
/// images are encoded on the writer thread, from the raw pixels queued: an encoder slower than the captures
/// fills the queue, and then the recording calls wait for it (queueBytes counts the raw pixels), so frames are
/// delayed, not dropped, unless a call's own deadline or interruption ends its wait. A process killed
/// mid-recording loses at most the open chunk (chunkInterval bounds its age); RecordingReader recovers the rest.
/// Thread-safe.
///
/// Failures: a path that cannot be created fails the constructor (RecordingError). When writing fails (a full
/// disk), recording ends: the next recording call, close() included, throws RecordingError, and no summary is
/// written over the chunks already in the file. Events observed after close() are ignored.
class CORVANE_API Recorder {
 public:
  explicit Recorder(const std::string& path, const RecorderOptions& options = {});
  /// Closes the recording (as close() does, swallowing its error).
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  /// The observer to put into ClientOptions::observer (a RecordingObserver). It stays valid after the recorder
  /// is gone (and then ignores events).
  std::shared_ptr<ClientObserver> observer() const;

  /// Records `message` (a JSON object; anything else is wrapped as {"value": message}) on `topic`, logged at
  /// `time` (default: now). std::invalid_argument for an empty topic or a time before the Unix epoch.
  void write(std::string_view topic, const nlohmann::json& message, std::optional<ObservedTime> time = std::nullopt);

  /// Records one step (see StepInput) and returns its index: steps count from 0, again after each
  /// write("/episode", {"event": "start", ...}). Its messages share one log time, now, later than the previous
  /// step's. Each array without an owner is copied once, during the call; one with an owner is not copied.
  /// Throws std::invalid_argument for a bad step (an empty or repeated key, bytes that do not match their shape
  /// and dtype), std::logic_error after close().
  std::uint64_t step(const StepInput& input);

  /// Records a transform the bridge does not report (a camera fixed to a robot's body: see FrameTransform) on
  /// "/transforms" as foxglove.FrameTransform, logged now, so that Foxglove's 3D panel places the camera. Set it
  /// before the captures it places. std::invalid_argument for an empty frame name or a rotation that is not a
  /// unit quaternion, std::logic_error after close().
  void setStaticTransform(const FrameTransform& transform);

  /// Writes what is queued, the summary and the footer, stops the writer thread and closes the file. Throws
  /// RecordingError when writing failed (then the file keeps its complete chunks and no summary). A second call
  /// does nothing.
  void close();

  RecorderStats stats() const;
  const std::string& path() const noexcept;

 private:
  using State = detail::RecorderState;
  std::shared_ptr<State> state_;
};

}  // namespace corvane
