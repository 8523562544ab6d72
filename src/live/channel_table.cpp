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
  return {topic, c.messageEncoding, c.schemaName, c.schemaEncoding, std::string(c.schema), c.newestWins};
}

const ChannelEntry& ChannelTable::intern(const LiveChannel& declared, bool& added) {
  const auto [at, inserted] =
      byKey_.try_emplace(keyOf(declared.topic, declared.messageEncoding, declared.schemaName), 0);
  added = inserted;
  if (!inserted) return entries_.at(at->second);
  at->second = ++lastId_;
  return entries_.emplace(at->second, ChannelEntry{at->second, declared}).first->second;
}

const ChannelEntry& ChannelTable::intern(const record::Outgoing& message, bool& added) {
  const record::ChannelSchema c = record::channelSchema(message.encoding);
  const auto found = byKey_.find(keyOf(message.topic, c.messageEncoding, c.schemaName));
  if (found != byKey_.end()) {
    added = false;
    return entries_.at(found->second);
  }
  return intern(liveChannel(message.topic, message.encoding), added);
}

const ChannelEntry* ChannelTable::find(std::uint32_t id) const {
  const auto found = entries_.find(id);
  return found == entries_.end() ? nullptr : &found->second;
}

std::vector<std::uint32_t> ChannelTable::remove(const std::string& topic) {
  std::vector<std::uint32_t> ids;
  const std::string prefix = topic + '\0';
  for (auto at = byKey_.lower_bound(prefix); at != byKey_.end() && at->first.compare(0, prefix.size(), prefix) == 0;) {
    ids.push_back(at->second);
    entries_.erase(at->second);
    at = byKey_.erase(at);
  }
  return ids;
}

}  // namespace corvane::live
