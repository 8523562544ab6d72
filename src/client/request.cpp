// The HTTP verbs and batches: each a run of the request engine (client/request_run.hpp).
#include "client/connection_pool.hpp"
#include "client/request_run.hpp"
#include "corvane/client.hpp"

namespace corvane {

HttpResponse IsaacSimClient::get(std::string_view path) { return request_("GET", path, {}); }
HttpResponse IsaacSimClient::post(std::string_view path, std::string_view body) { return request_("POST", path, body); }
HttpResponse IsaacSimClient::put(std::string_view path, std::string_view body) { return request_("PUT", path, body); }
HttpResponse IsaacSimClient::patch(std::string_view path, std::string_view body) {
  return request_("PATCH", path, body);
}
HttpResponse IsaacSimClient::deleteRequest(std::string_view path) { return request_("DELETE", path, {}); }

HttpResponse IsaacSimClient::request_(std::string_view method, std::string_view path, std::string_view body) {
  const std::vector<detail::PlannedRequest> requests{{method, prepareUrl_(path), body}};
  return std::move(detail::runRequests(runSettings_(), requests).front()).response();
}

std::vector<BatchResult> IsaacSimClient::batch(const std::vector<BatchRequest>& requests) {
  std::vector<detail::PlannedRequest> planned;
  planned.reserve(requests.size());
  for (const BatchRequest& request : requests)
    planned.push_back({request.method, prepareUrl_(request.path), request.body});
  return detail::runRequests(runSettings_(), planned);
}

detail::RunSettings IsaacSimClient::runSettings_() const { return {timeout_, maxRetries_, options_, pool_.get()}; }

}  // namespace corvane
