#include <stdexcept>
#include <utility>

#include "client/connection_pool.hpp"
#include "client/options_check.hpp"
#include "client/retry_rules.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace {

void ensureTrailingSlash(std::string& url) {
  if (url.back() != '/') url.push_back('/');
}

}  // namespace

IsaacSimClient::IsaacSimClient(std::string label, std::string baseUrl, std::string websocketBaseUrl,
                               std::chrono::milliseconds timeout, int maxRetries)
    : IsaacSimClient(std::move(label), std::move(baseUrl), std::move(websocketBaseUrl), timeout, maxRetries,
                     ClientOptions{}) {}

IsaacSimClient::IsaacSimClient(std::string label, std::string baseUrl, std::string websocketBaseUrl,
                               std::chrono::milliseconds timeout, int maxRetries, ClientOptions options)
    : articulation(*this),
      surfaceGripper(*this),
      camera(*this),
      label_(std::move(label)),
      baseUrl_(std::move(baseUrl)),
      websocketBaseUrl_(std::move(websocketBaseUrl)),
      timeout_(timeout),
      maxRetries_(maxRetries),
      options_(std::move(options)) {
  if (baseUrl_.empty()) throw std::invalid_argument("base_url must not be empty");
  if (websocketBaseUrl_.empty()) throw std::invalid_argument("websocket_base_url must not be empty");
  checkSettings();
  ensureTrailingSlash(baseUrl_);
  ensureTrailingSlash(websocketBaseUrl_);
  if (options_.reuseConnections) pool_ = std::make_shared<detail::ConnectionPool>();
  startJitter();
}

IsaacSimClient::IsaacSimClient(const IsaacSimClient& other)
    : articulation(*this),
      surfaceGripper(*this),
      camera(*this),
      label_(other.label_),
      baseUrl_(other.baseUrl_),
      websocketBaseUrl_(other.websocketBaseUrl_),
      timeout_(other.timeout_),
      maxRetries_(other.maxRetries_),
      options_(other.options_),
      pool_(other.pool_) {
  startJitter();
}

IsaacSimClient::IsaacSimClient(const IsaacSimClient& origin, std::chrono::milliseconds timeout, int maxRetries,
                               ClientOptions options)
    : articulation(*this),
      surfaceGripper(*this),
      camera(*this),
      label_(origin.label_),
      baseUrl_(origin.baseUrl_),
      websocketBaseUrl_(origin.websocketBaseUrl_),
      timeout_(timeout),
      maxRetries_(maxRetries),
      options_(std::move(options)) {
  checkSettings();
  if (options_.reuseConnections) {
    pool_ = origin.pool_ ? origin.pool_ : std::make_shared<detail::ConnectionPool>();
  }
  startJitter();
}

IsaacSimClient IsaacSimClient::withOptions(std::chrono::milliseconds timeout, int maxRetries,
                                           ClientOptions options) const {
  return IsaacSimClient(*this, timeout, maxRetries, std::move(options));
}

void IsaacSimClient::checkSettings() const {
  if (timeout_.count() <= 0) throw std::invalid_argument("timeout must be positive");
  if (maxRetries_ < 0) throw std::invalid_argument("max_retries must not be negative");
  detail::checkOptions(options_);
}

// Each client draws its pauses' jitter from its own engine, copies and siblings included.
void IsaacSimClient::startJitter() {
  if (options_.retryPolicy) jitter_ = std::make_shared<detail::RetryJitter>(detail::jitterSeed(this));
}

std::string IsaacSimClient::prepareUrl(std::string_view path) const {
  const auto first = path.find_first_not_of('/');
  const std::string_view rest = first == std::string_view::npos ? std::string_view{} : path.substr(first);
  std::string url;
  url.reserve(baseUrl_.size() + rest.size());
  url.append(baseUrl_).append(rest);
  return url;
}

}  // namespace corvane
