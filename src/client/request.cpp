// The HTTP verbs and batches: each a run of the request engine (client/request_run.hpp).
#include "client/connection_pool.hpp"
#include "client/observation.hpp"
#include "client/request_run.hpp"
#include "corvane/client.hpp"

namespace corvane {
namespace detail {

std::vector<BatchResult> runObserved(const RunSettings& settings, const std::vector<PlannedRequest>& planned,
                                     const std::vector<std::string_view>& paths) {
  ClientObserver* observer = settings.options.observer.get();
  if (observer == nullptr) return detail::runRequests(settings, planned);
  std::vector<detail::EntryEnd> ends(planned.size());
  detail::RunSettings observed = settings;
  observed.ends = &ends;
  const auto start = std::chrono::system_clock::now();
  auto tell = [&](std::size_t i, const HttpResponse* response, std::exception_ptr error) {
    const auto end = ends[i].attempts > 0 ? ends[i].time : std::chrono::system_clock::now();
    const auto& p = planned[i];
    const ObservedCall call = observedCall(settings.options, start);
    const ObservedCallScope scope(call);
    observer->onRestExchange({p.method, paths[i], p.body, response, std::move(error), ends[i].attempts, start, end});
  };
  std::vector<BatchResult> results;
  try {
    results = detail::runRequests(observed, planned);
  } catch (...) {
    const auto error = std::current_exception();
    for (std::size_t i = 0; i < planned.size(); ++i) tell(i, nullptr, error);
    throw;
  }
  for (std::size_t i = 0; i < results.size(); ++i) {
    tell(i, results[i].ok() ? &results[i].response() : nullptr, results[i].error());
  }
  return results;
}

}  // namespace detail

HttpResponse IsaacSimClient::get(std::string_view path) { return request("GET", path, {}); }
HttpResponse IsaacSimClient::post(std::string_view path, std::string_view body) { return request("POST", path, body); }
HttpResponse IsaacSimClient::put(std::string_view path, std::string_view body) { return request("PUT", path, body); }
HttpResponse IsaacSimClient::patch(std::string_view path, std::string_view body) {
  return request("PATCH", path, body);
}
HttpResponse IsaacSimClient::deleteRequest(std::string_view path) { return request("DELETE", path, {}); }

HttpResponse IsaacSimClient::request(std::string_view method, std::string_view path, std::string_view body) {
  const std::vector<detail::PlannedRequest> requests{{method, prepareUrl(path), body}};
  return std::move(detail::runObserved(runSettings(), requests, {path}).front()).response();
}

std::vector<BatchResult> IsaacSimClient::batch(const std::vector<BatchRequest>& requests) {
  std::vector<detail::PlannedRequest> planned;
  planned.reserve(requests.size());
  for (const BatchRequest& request : requests)
    planned.push_back({request.method, prepareUrl(request.path), request.body});
  if (!options_.observer) return detail::runRequests(runSettings(), planned);
  std::vector<std::string_view> paths;
  paths.reserve(requests.size());
  for (const BatchRequest& request : requests) paths.emplace_back(request.path);
  return detail::runObserved(runSettings(), planned, paths);
}

detail::RunSettings IsaacSimClient::runSettings() const {
  return {timeout_, maxRetries_, options_, pool_.get(), jitter_.get()};
}

}  // namespace corvane
