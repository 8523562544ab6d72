#pragma once

// The Foxglove WebSocket protocol's messages: the server's JSON and binary frames, the client's requests.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvane/live/live_server.hpp"
#include "live/channel_table.hpp"

namespace corvane::live {

inline constexpr std::string_view kSubprotocolV1 = "foxglove.websocket.v1";
inline constexpr std::string_view kSubprotocolSdk = "foxglove.sdk.v1";

/// The first of the client's offered subprotocols (a comma-separated header) the server speaks; empty if none.
std::string chooseSubprotocol(std::string_view offered);

std::string serverInfo(const LiveServerOptions& options, std::string_view sessionId);
std::string advertise(const std::map<std::uint32_t, ChannelEntry>& channels);
std::string advertise(const ChannelEntry& channel);
std::string unadvertise(const std::vector<std::uint32_t>& channelIds);
/// Takes back the statuses sent with these ids (a condition that no longer holds).
std::string removeStatus(const std::vector<std::string>& statusIds);
enum class StatusLevel { info = 0, warning = 1, error = 2 };
std::string status(StatusLevel level, std::string_view message, std::string_view id);

/// MessageData's header: opcode 0x01, the client's subscription id, the log time.
using DataHeader = std::array<char, 13>;
DataHeader messageDataHeader(std::uint32_t subscriptionId, std::uint64_t logTimeNs);
/// Time: opcode 0x02 and the time.
std::string timeFrame(std::uint64_t timeNs);

/// A client's text message, parsed: subscribe (pairs of subscription id and channel id) or unsubscribe
/// (subscription ids). `error` says why a message is not one the server takes.
struct ClientRequest {
  enum class Op { subscribe, unsubscribe, invalid } op = Op::invalid;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> subscriptions;
  std::vector<std::uint32_t> subscriptionIds;
  std::string error;
};
ClientRequest parseClientRequest(std::string_view text);

}  // namespace corvane::live
