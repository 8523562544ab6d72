#pragma once

// The live server's channels: one id per topic and schema, advertised to every viewer until removed.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "corvane/live/live_server.hpp"
#include "record/recorder_encode.hpp"

namespace corvane::live {

struct ChannelEntry {
  std::uint32_t id;
  LiveChannel declared;
};

class ChannelTable {
 public:
  /// The channel as declared by `declared` (topic, encodings, schema), added when new (then `added` is set).
  const ChannelEntry& intern(const LiveChannel& declared, bool& added);
  /// The channel of an encoded observation, as the recorder declares it.
  const ChannelEntry& intern(const record::Outgoing& message, bool& added);
  /// Null for an id never given or removed.
  const ChannelEntry* find(std::uint32_t id) const;
  /// Removes every channel of `topic` and returns their ids; a channel of that topic added later has a new id.
  std::vector<std::uint32_t> remove(const std::string& topic);
  const std::map<std::uint32_t, ChannelEntry>& all() const noexcept { return entries_; }

 private:
  std::map<std::string, std::uint32_t> byKey_;  // topic, message encoding and schema name
  std::map<std::uint32_t, ChannelEntry> entries_;
  std::uint32_t lastId_ = 0;
};

/// The live channel of a recorder's encoding on `topic`.
LiveChannel liveChannel(const std::string& topic, record::Encoding encoding);

}  // namespace corvane::live
