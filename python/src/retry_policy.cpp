// corvane.RetryPolicy: which failed REST attempts a client makes again, and the pauses between them.
#include <corvane/retry_policy.hpp>

#include <optional>
#include <string>
#include <vector>

#include "binding.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;

RetryPolicy makePolicy(std::optional<std::vector<long>> statuses, bool serverErrors,
                       std::optional<std::vector<std::string>> transportErrorMethods, double firstPause,
                       double largestPause, double jitter) {
  RetryPolicy policy;
  if (statuses) policy.statuses = std::move(*statuses);
  policy.serverErrors = serverErrors;
  if (transportErrorMethods) policy.transportErrorMethods = std::move(*transportErrorMethods);
  policy.firstPause = millisecondsOf(firstPause, "first_pause");
  policy.largestPause = millisecondsOf(largestPause, "largest_pause");
  policy.jitter = jitter;
  return policy;
}

std::string reprOf(const RetryPolicy& p) {
  return py::str(
             "RetryPolicy(statuses={!r}, server_errors={!r}, transport_error_methods={!r}, first_pause={!r}, "
             "largest_pause={!r}, jitter={!r})")
      .format(p.statuses, p.serverErrors, p.transportErrorMethods, secondsOf(p.firstPause), secondsOf(p.largestPause),
              p.jitter);
}

}  // namespace

void bindRetryPolicy(py::module_& module) {
  const RetryPolicy defaults;
  py::class_<RetryPolicy>(module, "RetryPolicy",
                          "Which failed REST attempts a client retries (Client(retry_policy=...)); how many stays\n"
                          "max_retries. The defaults are the rules of a client without a policy, but for the jitter,\n"
                          "which comes from the client's own random engine instead of libc's rand().")
      .def(py::init(&makePolicy), py::kw_only(), "statuses"_a = py::none(), "server_errors"_a = defaults.serverErrors,
           "transport_error_methods"_a = py::none(), "first_pause"_a = secondsOf(defaults.firstPause),
           "largest_pause"_a = secondsOf(defaults.largestPause), "jitter"_a = defaults.jitter,
           "statuses: the statuses retried (None: 408, 409, 429; leave 409 out to make it final);\n"
           "server_errors: also every status >= 500 but 501; transport_error_methods: the methods sent again\n"
           "after a timeout or a lost connection (None: all five; leave POST out so that a command is never\n"
           "sent twice); a request that never left (refused connection, failed lookup) is retried whatever its\n"
           "method. Pauses in seconds double from first_pause up to largest_pause, each scaled by a random\n"
           "factor in [1 - jitter, 1]. The client raises ValueError for a status outside [100, 999], another\n"
           "method, a pause <= 0, largest_pause < first_pause or a jitter outside [0, 1].")
      .def_readonly("statuses", &RetryPolicy::statuses, "The statuses retried.")
      .def_readonly("server_errors", &RetryPolicy::serverErrors, "Whether statuses >= 500 (but 501) are retried.")
      .def_readonly("transport_error_methods", &RetryPolicy::transportErrorMethods,
                    "The methods sent again after a transport error.")
      .def_property_readonly(
          "first_pause", [](const RetryPolicy& p) { return secondsOf(p.firstPause); },
          "Seconds after the first failed attempt.")
      .def_property_readonly(
          "largest_pause", [](const RetryPolicy& p) { return secondsOf(p.largestPause); }, "The longest pause.")
      .def_readonly("jitter", &RetryPolicy::jitter, "The random share of each pause, in [0, 1].")
      .def(
          "pause_after",
          [](const RetryPolicy& p, int attempt, double unit) { return secondsOf(p.pauseAfter(attempt, unit)); },
          "attempt"_a, "unit"_a,
          "The pause (seconds) after failed attempt `attempt` (0 for the first), jittered by\n"
          "`unit` in [0, 1].")
      .def("retries_status", &RetryPolicy::retriesStatus, "status"_a, "Whether a reply with `status` is retried.")
      .def("resends_after_transport_error", &RetryPolicy::resendsAfterTransportError, "method"_a,
           "Whether `method` is sent again after a transport error once the request may have left.")
      .def("__repr__", &reprOf);
}

}  // namespace corvane::python
