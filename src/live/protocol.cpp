#include "live/protocol.hpp"

#include <cstring>

#include <boost/beast/core/detail/base64.hpp>
#include <nlohmann/json.hpp>

namespace corvane::live {
namespace {

using Json = nlohmann::json;

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Schemas that are bytes (a protobuf FileDescriptorSet) travel base64-encoded; text ones as they are.
std::string schemaText(const LiveChannel& c) {
  if (c.schemaEncoding != "protobuf" && c.schemaEncoding != "flatbuffer") return c.schema;
  namespace base64 = boost::beast::detail::base64;
  std::string out(base64::encoded_size(c.schema.size()), '\0');
  out.resize(base64::encode(out.data(), c.schema.data(), c.schema.size()));
  return out;
}

Json channelJson(const ChannelEntry& c) {
  Json out{{"id", c.id},
           {"topic", c.declared.topic},
           {"encoding", c.declared.messageEncoding},
           {"schemaName", c.declared.schemaName},
           {"schema", schemaText(c.declared)}};
  if (!c.declared.schemaEncoding.empty()) out["schemaEncoding"] = c.declared.schemaEncoding;
  return out;
}

std::string_view trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// A u32 id from a JSON field, or false.
bool idOf(const Json& object, const char* key, std::uint32_t& id) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number_unsigned() || found->get<std::uint64_t>() > UINT32_MAX) return false;
  id = found->get<std::uint32_t>();
  return true;
}

ClientRequest invalid(std::string why) {
  ClientRequest r;
  r.error = std::move(why);
  return r;
}

ClientRequest parseSubscribe(const Json& message) {
  const auto list = message.find("subscriptions");
  if (list == message.end() || !list->is_array()) return invalid("subscribe: \"subscriptions\" is not a list");
  ClientRequest r;
  r.op = ClientRequest::Op::subscribe;
  for (const Json& s : *list) {
    std::uint32_t id = 0, channel = 0;
    if (!s.is_object() || !idOf(s, "id", id) || !idOf(s, "channelId", channel)) {
      return invalid("subscribe: each subscription needs an integer id and channelId");
    }
    r.subscriptions.emplace_back(id, channel);
  }
  return r;
}

ClientRequest parseUnsubscribe(const Json& message) {
  const auto list = message.find("subscriptionIds");
  if (list == message.end() || !list->is_array()) return invalid("unsubscribe: \"subscriptionIds\" is not a list");
  ClientRequest r;
  r.op = ClientRequest::Op::unsubscribe;
  for (const Json& id : *list) {
    if (!id.is_number_unsigned() || id.get<std::uint64_t>() > UINT32_MAX) {
      return invalid("unsubscribe: subscription ids are integers");
    }
    r.subscriptionIds.push_back(id.get<std::uint32_t>());
  }
  return r;
}

}  // namespace

std::string chooseSubprotocol(std::string_view offered) {
  while (!offered.empty()) {
    const auto comma = offered.find(',');
    const std::string_view one = trimmed(offered.substr(0, comma));
    if (one == kSubprotocolV1 || one == kSubprotocolSdk) return std::string(one);
    offered = comma == std::string_view::npos ? std::string_view{} : offered.substr(comma + 1);
  }
  return {};
}

std::string serverInfo(const LiveServerOptions& options, std::string_view sessionId) {
  Json capabilities = Json::array();
  if (options.timeCapability) capabilities.push_back("time");
  return dump({{"op", "serverInfo"},
               {"name", options.name},
               {"capabilities", capabilities},
               {"supportedEncodings", Json::array()},
               {"metadata", Json::object()},
               {"sessionId", sessionId}});
}

std::string advertise(const std::map<std::uint32_t, ChannelEntry>& channels) {
  Json list = Json::array();
  for (const auto& entry : channels) list.push_back(channelJson(entry.second));
  return dump({{"op", "advertise"}, {"channels", list}});
}

std::string advertise(const ChannelEntry& channel) {
  return dump({{"op", "advertise"}, {"channels", {channelJson(channel)}}});
}

std::string unadvertise(const std::vector<std::uint32_t>& channelIds) {
  return dump({{"op", "unadvertise"}, {"channelIds", channelIds}});
}

std::string removeStatus(const std::vector<std::string>& statusIds) {
  return dump({{"op", "removeStatus"}, {"statusIds", statusIds}});
}

std::string status(StatusLevel level, std::string_view message, std::string_view id) {
  return dump({{"op", "status"}, {"level", static_cast<int>(level)}, {"message", message}, {"id", id}});
}

DataHeader messageDataHeader(std::uint32_t subscriptionId, std::uint64_t logTimeNs) {
  DataHeader h{};
  h[0] = 0x01;
  std::memcpy(h.data() + 1, &subscriptionId, 4);  // the host is little-endian, as the protocol
  std::memcpy(h.data() + 5, &logTimeNs, 8);
  return h;
}

std::string timeFrame(std::uint64_t timeNs) {
  std::string out(9, '\x02');
  std::memcpy(out.data() + 1, &timeNs, 8);
  return out;
}

ClientRequest parseClientRequest(std::string_view text) {
  const Json message = Json::parse(text, nullptr, false);
  if (message.is_discarded() || !message.is_object()) return invalid("not a JSON object");
  const auto op = message.find("op");
  if (op == message.end() || !op->is_string()) return invalid("no \"op\"");
  if (*op == "subscribe") return parseSubscribe(message);
  if (*op == "unsubscribe") return parseUnsubscribe(message);
  return invalid("unsupported op \"" + op->get<std::string>().substr(0, 64) + "\"");
}

}  // namespace corvane::live
