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

IsaacSimClient::IsaacSimClient(std::string label, std::string base_url, std::string websocket_base_url,
                               std::chrono::milliseconds timeout, int max_retries)
    : IsaacSimClient(std::move(label), std::move(base_url), std::move(websocket_base_url), timeout, max_retries,
                     ClientOptions{}) {}

IsaacSimClient::IsaacSimClient(std::string label, std::string base_url, std::string websocket_base_url,
                               std::chrono::milliseconds timeout, int max_retries, ClientOptions options)
    : articulation(*this),
      surfaceGripper(*this),
      camera(*this),
      label_(std::move(label)),
      baseUrl_(std::move(base_url)),
      websocketBaseUrl_(std::move(websocket_base_url)),
      timeout_(timeout),
      maxRetries_(max_retries),
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

IsaacSimClient::IsaacSimClient(const IsaacSimClient& origin, std::chrono::milliseconds timeout, int max_retries,
                               ClientOptions options)
    : articulation(*this),
      surfaceGripper(*this),
      camera(*this),
      label_(origin.label_),
      baseUrl_(origin.baseUrl_),
      websocketBaseUrl_(origin.websocketBaseUrl_),
      timeout_(timeout),
      maxRetries_(max_retries),
      options_(std::move(options)) {
  checkSettings();
  if (options_.reuseConnections) {
    pool_ = origin.pool_ ? origin.pool_ : std::make_shared<detail::ConnectionPool>();
  }
  startJitter();
}

IsaacSimClient IsaacSimClient::withOptions(std::chrono::milliseconds timeout, int max_retries,
                                           ClientOptions options) const {
  return IsaacSimClient(*this, timeout, max_retries, std::move(options));
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
