#pragma once

// Video served live, encoded off the caller's thread: colour frames wait here (the newest of each topic) for a
// thread of the live server's own, which encodes them as the recorder does (record::VideoChannels).
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "record/video_channels.hpp"

namespace corvane::live {

class VideoWorker {
 public:
  /// `publish` takes each encoded message, on the worker's thread, with no lock of the worker's held.
  VideoWorker(const record::VideoSettings& settings, std::function<void(record::Outgoing&&)> publish);
  ~VideoWorker();
  VideoWorker(const VideoWorker&) = delete;
  VideoWorker& operator=(const VideoWorker&) = delete;

  /// Takes a raw frame (Outgoing::raw set); one of its topic still waiting is replaced: an encoder slower than
  /// the captures encodes fewer of them, never delays the caller. False once stopped.
  bool submit(record::Outgoing&& frame);
  /// The next frame of `topic` is encoded as a keyframe (a viewer joins).
  void requestKeyframe(const std::string& topic);
  /// Ends the thread; frames still waiting are dropped. A second call does nothing.
  void stop();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, record::Outgoing> waiting_;  // by topic, the newest raw frame
  std::set<std::string> keyframes_;                  // topics whose next frame is to be a keyframe
  bool stopping_ = false;
  record::VideoChannels channels_;  // the worker's thread only
  std::function<void(record::Outgoing&&)> publish_;
  std::thread thread_;
};

}  // namespace corvane::live
