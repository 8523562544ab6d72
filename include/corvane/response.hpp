#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "corvane/export.hpp"

namespace corvane {

/// The outcome of one HTTP exchange with the bridge, whatever its status.
struct CORVANE_API HttpResponse {
  long status = 0;                             ///< HTTP status; 0 until a transfer completed
  std::string body;                            ///< raw body bytes, possibly binary
  std::map<std::string, std::string> headers;  ///< name as received -> value; last repeated line wins

  /// The value of header `name`, compared ignoring ASCII case, or nullptr. Valid while the response lives.
  [[nodiscard]] const std::string* header(std::string_view name) const;
  /// The body parsed as one JSON document (throws nlohmann::json::parse_error, also for an empty body).
  [[nodiscard]] nlohmann::json json() const;
};

/// Thrown for a reply whose status is outside 200..299. what() is "Bridge returned status <code>".
class CORVANE_API HTTPError : public std::runtime_error {
 public:
  HTTPError(long status, std::string body);
  ~HTTPError() override;

  long status() const noexcept { return status_; }
  const std::string& body() const noexcept { return body_; }

 private:
  long status_;
  std::string body_;
};

namespace detail {
/// A 2xx response as JSON: {} for an empty body, otherwise the parsed body. Any other status throws HTTPError.
[[nodiscard]] CORVANE_API nlohmann::json parseSuccessOrThrow(const HttpResponse& response);
}  // namespace detail

}  // namespace corvane
