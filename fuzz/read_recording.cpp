// libFuzzer target: any bytes, as a recording file, through the reader: opening it, reading every message, and
// reading one topic in a time window. It must end in RecordingError or hand out messages in log-time order, on
// channels the file defines, inside the window asked for, each viewing the chunk that holds it. The sanitizers
// catch any read outside a buffer, and scripts/fuzz's -malloc_limit_mb any allocation sized by what the file
// claims rather than by what it holds (the reader's limit here is 16 MiB).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <typeinfo>

#include "corvane/record/recording_reader.hpp"

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "the reader breaks its rules: %s\n", what);
  std::abort();
}

void readChecked(const corvane::RecordingReader& reader, const corvane::RecordingFilter& filter) {
  std::uint64_t last = 0;
  corvane::MessageCursor cursor = reader.messages(filter);
  while (auto m = cursor.next()) {
    if (m->logTime < last) broken("a message comes before the one handed out earlier");
    last = m->logTime;
    const auto channel = reader.channels().find(m->channel->id);
    if (channel == reader.channels().end() || &channel->second != m->channel) broken("a message on no channel");
    if (m->logTime < filter.startTime || m->logTime >= filter.endTime) broken("a message outside the window");
    if (!filter.topics.empty() &&
        std::find(filter.topics.begin(), filter.topics.end(), m->channel->topic) == filter.topics.end()) {
      broken("a message on a topic not asked for");
    }
    const std::string& storage = *m->storage;
    if (m->data.data() < storage.data() || m->data.data() + m->data.size() > storage.data() + storage.size()) {
      broken("a message's bytes are not inside its chunk");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("recording", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    broken("cannot write the input to memory");
  }
  corvane::RecordingReaderOptions options;
  options.maxRecordSize = 16U << 20;
  try {
    const corvane::RecordingReader reader(path, options);
    readChecked(reader, {});
    if (!reader.channels().empty()) {
      const auto& stats = reader.statistics();
      corvane::RecordingFilter window{{reader.channels().begin()->second.topic},
                                      stats.startTime + 1,
                                      stats.startTime + (stats.endTime - stats.startTime) / 2};
      readChecked(reader, window);
    }
  } catch (const corvane::RecordingError&) {
    // the one way to refuse a file
  } catch (const std::exception& e) {
    std::fprintf(stderr, "the reader throws %s: %s\n", typeid(e).name(), e.what());
    std::abort();
  }
  return 0;
}
