#include "live/video_worker.hpp"

namespace corvane::live {

VideoWorker::VideoWorker(const record::VideoSettings& settings, std::function<void(record::Outgoing&&)> publish)
    : channels_(settings), publish_(std::move(publish)), thread_([this] { run(); }) {}

VideoWorker::~VideoWorker() { stop(); }

bool VideoWorker::submit(record::Outgoing&& frame) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    waiting_.insert_or_assign(frame.topic, std::move(frame));
  }
  wake_.notify_one();
  return true;
}

void VideoWorker::requestKeyframe(const std::string& topic) {
  const std::lock_guard<std::mutex> lock(mutex_);
  keyframes_.insert(topic);
}

void VideoWorker::stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void VideoWorker::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
    if (stopping_) return;
    std::map<std::string, record::Outgoing> frames = std::move(waiting_);
    waiting_.clear();
    std::set<std::string> keyframes = std::move(keyframes_);
    keyframes_.clear();
    lock.unlock();
    for (const std::string& topic : keyframes) channels_.requestKeyframe(topic);
    for (auto& entry : frames) {
      try {
        for (record::Outgoing& m : channels_.encode(std::move(entry.second))) publish_(std::move(m));
      } catch (const std::exception&) {
        // A frame the encoder refuses is not served; the next one of its topic is tried afresh.
      }
    }
    lock.lock();
  }
}

}  // namespace corvane::live
