#pragma once

// The live server's channels: one id per topic and schema, advertised to every viewer.
#include <cstdint>
#include <deque>
#include <map>
#include <string>

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
  /// Null for an id never given.
  const ChannelEntry* find(std::uint32_t id) const;
  const std::deque<ChannelEntry>& all() const noexcept { return entries_; }

 private:
  std::map<std::string, std::uint32_t> byKey_;  // topic, message encoding and schema name
  std::deque<ChannelEntry> entries_;            // id - 1 is the index; a deque keeps references valid
};

/// The live channel of a recorder's encoding on `topic`.
LiveChannel liveChannel(const std::string& topic, record::Encoding encoding);

}  // namespace corvane::live
