#pragma once

// Several REST requests performed together on the caller's thread (IsaacSimClient::batch).
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "corvane/export.hpp"
#include "corvane/response.hpp"

namespace corvane {

/// One request of a batch: what a verb call would take.
struct CORVANE_API BatchRequest {
  std::string method;  ///< "GET", "POST", "PUT", "PATCH" or "DELETE"
  std::string path;    ///< a resource path, as for the verbs, e.g. "/articulations//World/arm/joints_state"
  std::string body;    ///< sent (as JSON) with POST, PUT and PATCH; ignored otherwise
};

/// The outcome of one batch entry: the response its verb call would have returned, or the exception it
/// would have thrown.
class CORVANE_API BatchResult {
 public:
  explicit BatchResult(HttpResponse response) : response_(std::move(response)) {}
  /// Holds the error for the caller; std::invalid_argument when `error` is null.
  explicit BatchResult(std::exception_ptr error);

  /// Whether a response came back (whatever its status).
  [[nodiscard]] bool ok() const noexcept { return response_.has_value(); }
  /// The response; rethrows the entry's exception when there is none.
  [[nodiscard]] const HttpResponse& response() const&;
  /// The same, moved out of a result that is going away (e.g. std::move(results[0]).response()).
  [[nodiscard]] HttpResponse response() &&;
  /// The entry's exception, or null when a response came back.
  [[nodiscard]] std::exception_ptr error() const noexcept { return error_; }

 private:
  std::optional<HttpResponse> response_;
  std::exception_ptr error_;
};

}  // namespace corvane
