// The recorder: callers encode and queue; one writer thread of the recorder's own writes the file.
#include "corvane/record/recorder.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "corvane/errors.hpp"
#include "record/recorder_encode.hpp"
#include "record/step_encode.hpp"
#include "record/video_channels.hpp"

namespace corvane {

using record::Encoding;
using record::Outgoing;
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kAskEvery{100};  // how often a waiting call's interruption hook is asked

struct detail::RecorderState {
  std::string path;
  RecorderOptions options;
  McapWriter writer;
  std::map<std::pair<std::string, Encoding>, std::uint16_t> channels;  // used by the writer thread only
  const record::VideoChoice videoChoice;
  record::VideoChannels video;  // used by the writer thread only

  mutable std::mutex mutex;
  std::condition_variable notEmpty, notFull;
  std::deque<Outgoing> queue;
  std::size_t queuedBytes = 0;
  bool stopping = false;  // close() began: no more messages
  bool closed = false;
  std::string failure;
  RecorderStats stats;
  std::thread thread;

  std::mutex stepMutex;  // keeps each step's messages, index and log time together
  std::uint64_t nextStep = 0, lastStepTime = 0;

  RecorderState(const std::string& p, const RecorderOptions& o)
      : path(p),
        options(o),
        writer(p, McapWriterOptions{o.compression, o.chunkSize, o.chunkInterval, "", "corvane"}),
        videoChoice{o.video, o.videoByOutput},
        video(record::VideoSettings{o.keyframeInterval, o.videoQuality, o.jpegQuality, o.encoderThreads}) {}

  static std::size_t sizeOf(const Outgoing& m) { return m.payload.size() + m.body.size() + m.topic.size(); }

  // Queues `m`, waiting while the queue is full, within the limits of `call`: past its deadline the message
  // is dropped (counted), and when its interruption hook asks, it is dropped and InterruptedError thrown.
  // False when the recorder is closing (the message is ignored).
  bool push(Outgoing&& m, const ObservedCall& call = {}) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!enqueue(lock, std::move(m), call)) return false;
    notEmpty.notify_one();
    return true;
  }

  // Queues `messages` in order under one lock, with one wake-up of the writer (a step's messages).
  bool pushAll(std::vector<Outgoing>&& messages, const ObservedCall& call = {}) {
    std::unique_lock<std::mutex> lock(mutex);
    for (Outgoing& m : messages) {
      if (!enqueue(lock, std::move(m), call)) return false;
    }
    lock.unlock();  // the writer wakes to a free lock
    notEmpty.notify_one();
    return true;
  }

  bool enqueue(std::unique_lock<std::mutex>& lock, Outgoing&& m, const ObservedCall& call) {
    if (!failure.empty()) throw RecordingError(failure);
    if (stopping) return false;
    const std::size_t size = sizeOf(m);
    if (queuedBytes > 0 && queuedBytes + size > options.queueBytes) {
      notEmpty.notify_one();  // what is queued already must drain
      const auto waitStart = Clock::now();
      const bool room = waitForRoom(lock, size, call);
      stats.waited += Clock::now() - waitStart;
      if (!failure.empty()) throw RecordingError(failure);
      if (stopping) return false;
      if (!room) {
        ++stats.dropped;
        return true;
      }
    }
    queue.push_back(std::move(m));
    queuedBytes += size;
    stats.queueHighWater = std::max(stats.queueHighWater, queue.size());
    stats.queueHighWaterBytes = std::max(stats.queueHighWaterBytes, queuedBytes);
    return true;
  }

  // Waits until `size` more bytes fit (true) or the call's deadline passes (false), asking its interruption
  // hook every period with the lock released (a Python hook takes the GIL, which a caller of stats() holds).
  bool waitForRoom(std::unique_lock<std::mutex>& lock, std::size_t size, const ObservedCall& call) {
    const auto ready = [&] {
      return queuedBytes == 0 || queuedBytes + size <= options.queueBytes || !failure.empty() || stopping;
    };
    const bool asking = call.interrupted != nullptr && *call.interrupted;
    if (!asking && !call.deadline) {
      notFull.wait(lock, ready);
      return true;
    }
    for (;;) {
      auto until = asking ? Clock::now() + kAskEvery : *call.deadline;
      if (call.deadline) until = std::min(until, *call.deadline);
      if (notFull.wait_until(lock, until, ready)) return true;
      if (call.deadline && Clock::now() >= *call.deadline) return false;
      if (asking) askToStop(lock, *call.interrupted);
    }
  }

  void askToStop(std::unique_lock<std::mutex>& lock, const std::function<bool()>& interrupted) {
    lock.unlock();
    bool stop = true;
    try {
      stop = interrupted();
    } catch (...) {
      lock.lock();
      ++stats.dropped;
      throw;
    }
    lock.lock();
    if (!stop) return;
    ++stats.dropped;
    throw InterruptedError();
  }

  std::uint16_t channelFor(const Outgoing& m) {
    const auto key = std::make_pair(m.topic, m.encoding);
    const auto found = channels.find(key);
    if (found != channels.end()) return found->second;
    const record::ChannelSchema c = record::channelSchema(m.encoding);
    const auto schema = *c.schemaName == '\0' ? 0 : writer.addSchema(c.schemaName, c.schemaEncoding, c.schema);
    const std::uint16_t id = writer.addChannel(m.topic, c.messageEncoding, schema);
    channels.emplace(key, id);
    return id;
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      if (!failure.empty()) return;
      if (queue.empty()) {
        if (stopping) {
          writeUnlocked(lock, [&] { writeAll(video.finish()); });
          return;
        }
        const bool idle = !notEmpty.wait_for(lock, idleWait(), [&] { return !queue.empty() || stopping; });
        if (idle) writeUnlocked(lock, [&] { writer.closeChunkIfDue(); });
        continue;
      }
      Outgoing m = std::move(queue.front());
      queue.pop_front();
      const std::size_t size = sizeOf(m);  // counted in the queue until written
      writeUnlocked(lock, [&] {
        if (m.raw) return writeAll(video.encode(std::move(m)));
        writer.write(channelFor(m), m.logTime, m.publishTime, m.payload, m.body);
      });
      if (!failure.empty()) return;
      queuedBytes -= size;
      stats.messages = writer.messageCount();
      stats.chunks = writer.chunkCount();
      stats.bytes = writer.bytesWritten();
      notFull.notify_all();
    }
  }

  void writeAll(std::vector<Outgoing>&& messages) {
    for (const Outgoing& m : messages) writer.write(channelFor(m), m.logTime, m.publishTime, m.payload, m.body);
  }

  // One step's messages, queued together at one log time later than the last step's.
  std::uint64_t step(const StepInput& input) {
    record::checkStep(input);
    const std::lock_guard<std::mutex> lock(stepMutex);
    const std::uint64_t now = record::nanosSinceEpoch(std::chrono::system_clock::now());
    const std::uint64_t at = std::max(now, lastStepTime + 1);
    const std::uint64_t index = nextStep;
    if (!pushAll(record::encodeStep(input, index, at)))
      throw std::logic_error("Recorder::step: the recorder is closed");
    lastStepTime = at;
    ++nextStep;
    return index;
  }

  std::chrono::milliseconds idleWait() const {
    return options.chunkInterval.count() > 0 ? options.chunkInterval : std::chrono::milliseconds(1000);
  }

  // Runs a writer step outside the lock; a failure ends recording and frees every waiting caller.
  template <typename Step>
  void writeUnlocked(std::unique_lock<std::mutex>& lock, Step&& step) {
    lock.unlock();
    std::string error;
    try {
      step();
    } catch (const std::exception& e) {
      error = e.what();
    }
    lock.lock();
    if (error.empty()) return;
    failure = error;
    queue.clear();
    queuedBytes = 0;
    notFull.notify_all();
  }
};

namespace {

class RecorderObserver final : public RecordingObserver {
 public:
  explicit RecorderObserver(std::shared_ptr<detail::RecorderState> state) : state_(std::move(state)) {}
  void onRestExchange(const RestExchange& exchange) override {
    state_->push(record::encodeRest(exchange), ObservedCall::current());
  }
  void onStreamEvent(const StreamEvent& event) override {
    state_->push(record::encodeStream(event), ObservedCall::current());
  }
  void onFrame(const FrameObservation& frame) override {
    const ObservedCall call = ObservedCall::current();
    for (Outgoing& m : record::encodeFrame(frame, state_->videoChoice)) {
      if (!state_->push(std::move(m), call)) return;
    }
  }
  std::uint64_t step(const StepInput& input) override { return state_->step(input); }

 private:
  std::shared_ptr<detail::RecorderState> state_;
};

}  // namespace

RecordingObserver::~RecordingObserver() = default;

Recorder::Recorder(const std::string& path, const RecorderOptions& options)
    : state_(std::make_shared<State>(path, options)) {
  state_->thread = std::thread([state = state_.get()] { state->run(); });
}

Recorder::~Recorder() {
  try {
    close();
  } catch (...) {
    // Destructors do not throw; close() reports the failure to a caller who asks.
  }
}

std::shared_ptr<ClientObserver> Recorder::observer() const { return std::make_shared<RecorderObserver>(state_); }

void Recorder::write(std::string_view topic, const nlohmann::json& message, std::optional<ObservedTime> time) {
  if (topic.empty()) throw std::invalid_argument("Recorder::write: the topic is empty");
  if (time && time->time_since_epoch().count() < 0)
    throw std::invalid_argument("Recorder::write: the time is before the Unix epoch");
  const std::uint64_t at = record::nanosSinceEpoch(time.value_or(std::chrono::system_clock::now()));
  const auto event = message.is_object() ? message.find("event") : message.end();
  if (topic == step_topics::kEpisode && event != message.end() && *event == "start") {
    const std::lock_guard<std::mutex> lock(state_->stepMutex);
    state_->nextStep = 0;
  }
  if (!state_->push({std::string(topic), Encoding::json, record::jsonPayload(message), at, at})) {
    throw std::logic_error("Recorder::write: the recorder is closed");
  }
}

std::uint64_t Recorder::step(const StepInput& input) { return state_->step(input); }

void Recorder::setStaticTransform(const FrameTransform& transform) {
  const std::uint64_t now = record::nanosSinceEpoch(std::chrono::system_clock::now());
  if (!state_->push(record::encodeTransform(transform, now))) {
    throw std::logic_error("Recorder::setStaticTransform: the recorder is closed");
  }
}

void Recorder::close() {
  auto& s = *state_;
  {
    const std::lock_guard<std::mutex> lock(s.mutex);
    if (s.closed) return;
    s.closed = true;
    s.stopping = true;
    s.notEmpty.notify_all();
    s.notFull.notify_all();
  }
  if (s.thread.joinable()) s.thread.join();
  std::string failure;
  {
    const std::lock_guard<std::mutex> lock(s.mutex);
    failure = s.failure;
  }
  if (!failure.empty()) {
    try {
      s.writer.close();  // no summary over a failed writer: it only closes the file
    } catch (const RecordingError&) {
    }
    throw RecordingError(failure);
  }
  s.writer.close();
  const std::lock_guard<std::mutex> lock(s.mutex);
  s.stats.messages = s.writer.messageCount();  // with the frames a video encoder held until the end
  s.stats.bytes = s.writer.bytesWritten();
  s.stats.chunks = s.writer.chunkCount();
}

RecorderStats Recorder::stats() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->stats;
}

const std::string& Recorder::path() const noexcept { return state_->path; }

}  // namespace corvane
