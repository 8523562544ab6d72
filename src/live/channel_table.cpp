#include "live/channel_table.hpp"

namespace corvane::live {
namespace {

std::string keyOf(std::string_view topic, std::string_view encoding, std::string_view schemaName) {
  std::string key;
  key.reserve(topic.size() + encoding.size() + schemaName.size() + 2);
  key.append(topic).append(1, '\0').append(encoding).append(1, '\0').append(schemaName);
  return key;
}

}  // namespace

LiveChannel liveChannel(const std::string& topic, record::Encoding encoding) {
  const record::ChannelSchema c = record::channelSchema(encoding);
  return {topic, c.messageEncoding, c.schemaName, c.schemaEncoding, c.schema, c.newestWins};
}

const ChannelEntry& ChannelTable::intern(const LiveChannel& declared, bool& added) {
  const auto [at, inserted] =
      byKey_.try_emplace(keyOf(declared.topic, declared.messageEncoding, declared.schemaName), 0);
  added = inserted;
  if (!inserted) return entries_[at->second - 1];
  at->second = static_cast<std::uint32_t>(entries_.size() + 1);
  return entries_.emplace_back(ChannelEntry{at->second, declared});
}

const ChannelEntry& ChannelTable::intern(const record::Outgoing& message, bool& added) {
  const record::ChannelSchema c = record::channelSchema(message.encoding);
  const auto found = byKey_.find(keyOf(message.topic, c.messageEncoding, c.schemaName));
  if (found != byKey_.end()) {
    added = false;
    return entries_[found->second - 1];
  }
  return intern(liveChannel(message.topic, message.encoding), added);
}

const ChannelEntry* ChannelTable::find(std::uint32_t id) const {
  return id >= 1 && id <= entries_.size() ? &entries_[id - 1] : nullptr;
}

}  // namespace corvane::live
