#pragma once

// The one error type the handlers throw: an HTTP status and a message for the {"error": "..."} body.
#include <stdexcept>
#include <string>

namespace bridge_sim {

class ApiError : public std::runtime_error {
 public:
  ApiError(unsigned status, const std::string& message) : std::runtime_error(message), status_(status) {}
  unsigned status() const noexcept { return status_; }

 private:
  unsigned status_;
};

inline ApiError badRequest(const std::string& message) { return ApiError(400, message); }
inline ApiError notFound(const std::string& message) { return ApiError(404, message); }
inline ApiError conflict(const std::string& message) { return ApiError(409, message); }

}  // namespace bridge_sim
