#include "live/hub.hpp"

#include <algorithm>
#include <random>

#include "live/viewer.hpp"

namespace corvane::live {
namespace {

// A session id no earlier server had: viewers that see it change reset their state.
std::string newSessionId() {
  std::random_device random;
  const auto now = std::chrono::system_clock::now().time_since_epoch().count();
  return std::to_string(now) + "-" + std::to_string(random());
}

std::shared_ptr<const std::string> shared(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

}  // namespace

Hub::Hub(LiveServerOptions o) : options(std::move(o)), sessionId(newSessionId()) {}

void Hub::wake(const std::shared_ptr<Viewer>& viewer) {
  net::post(ioc, [viewer] { viewer->writeNext(); });
}

void Hub::publishLocked(const ChannelEntry& channel, bool added, Queued message) {
  ++published;
  if (added) {
    const auto text = shared(advertise(channel));
    for (const auto& v : viewers) {
      if (v->enqueueControl({Queued::Kind::text, 0, 0, text, true})) wake(v);
    }
  }
  message.channelId = channel.id;
  for (const auto& v : viewers) {
    if (v->enqueue(channel, message)) wake(v);
  }
}

void Hub::publishTimeLocked(std::uint64_t timeNs) {
  if (!options.timeCapability) return;
  const auto frame = shared(timeFrame(timeNs));
  for (const auto& v : viewers) {
    if (v->enqueueControl({Queued::Kind::time, 0, timeNs, frame, true})) wake(v);
  }
}

void Hub::unadvertiseLocked(const std::vector<std::string>& topics) {
  std::vector<std::uint32_t> ids;
  for (const std::string& topic : topics) {
    for (const std::uint32_t id : channels.remove(topic)) ids.push_back(id);
  }
  if (ids.empty()) return;
  for (const std::uint32_t id : ids) latched.erase(id);
  const auto text = shared(unadvertise(ids));
  for (const auto& v : viewers) {
    for (const std::uint32_t id : ids) v->forget(id);
    if (v->enqueueControl({Queued::Kind::text, 0, 0, text, true})) wake(v);
  }
}

void Hub::join(const std::shared_ptr<Viewer>& viewer) {
  viewers.push_back(viewer);
  bool wakeIt = viewer->enqueueControl({Queued::Kind::text, 0, 0, shared(serverInfo(options, sessionId)), true});
  if (!channels.all().empty()) {
    wakeIt |= viewer->enqueueControl({Queued::Kind::text, 0, 0, shared(advertise(channels.all())), true});
  }
  if (wakeIt) wake(viewer);
}

void Hub::leave(const Viewer* viewer) {
  viewers.erase(std::remove_if(viewers.begin(), viewers.end(), [&](const auto& v) { return v.get() == viewer; }),
                viewers.end());
}

}  // namespace corvane::live
