// observeAll(): several observers behind one ClientOptions::observer.
#include <utility>

#include "corvane/observer.hpp"

namespace corvane {
namespace {

class ObserverGroup final : public ClientObserver {
 public:
  explicit ObserverGroup(std::vector<std::shared_ptr<ClientObserver>> observers) : observers_(std::move(observers)) {}
  void onRestExchange(const RestExchange& exchange) override {
    for (const auto& o : observers_) o->onRestExchange(exchange);
  }
  void onStreamEvent(const StreamEvent& event) override {
    for (const auto& o : observers_) o->onStreamEvent(event);
  }
  void onFrame(const FrameObservation& frame) override {
    for (const auto& o : observers_) o->onFrame(frame);
  }

 private:
  const std::vector<std::shared_ptr<ClientObserver>> observers_;
};

}  // namespace

std::shared_ptr<ClientObserver> observeAll(std::vector<std::shared_ptr<ClientObserver>> observers) {
  std::vector<std::shared_ptr<ClientObserver>> present;
  for (auto& o : observers) {
    if (o != nullptr) present.push_back(std::move(o));
  }
  return std::make_shared<ObserverGroup>(std::move(present));
}

}  // namespace corvane
