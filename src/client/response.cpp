#include "corvane/response.hpp"
#include "client/header_line.hpp"
#include "client/success_status.hpp"

namespace corvane {

const std::string* HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (detail::equalsIgnoringCase(key, name)) return &value;
  }
  return nullptr;
}

nlohmann::json HttpResponse::json() const { return nlohmann::json::parse(body.begin(), body.end()); }

HTTPError::HTTPError(long status, std::string body)
    : std::runtime_error("Bridge returned status " + std::to_string(status)), status_(status), body_(std::move(body)) {}

HTTPError::~HTTPError() = default;

namespace detail {

nlohmann::json parseSuccessOrThrow(const HttpResponse& response) {
  if (!isSuccessStatus(response.status)) throw HTTPError(response.status, response.body);
  if (response.body.empty()) return nlohmann::json::object();
  return response.json();
}

}  // namespace detail
}  // namespace corvane
