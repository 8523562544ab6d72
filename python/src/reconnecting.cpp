// corvane.ReconnectingStream with its policy and the events its callbacks receive.
#include <corvane/client.hpp>
#include <corvane/reconnecting_stream.hpp>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "collectable.hpp"
#include "python_error.hpp"
#include "stream.hpp"
#include "text_arg.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;

ArticulationStream streamKind(const std::string& kind) {
  if (kind == "joint_positions") return ArticulationStream::jointPositions;
  if (kind == "articulation_state") return ArticulationStream::articulationState;
  throw py::value_error("kind must be \"joint_positions\" or \"articulation_state\", not " +
                        std::string(py::repr(py::str(kind))));
}

// after_failed_attempt: a true answer (Python truth) says the cause is mended.
std::function<bool(const FailedAttempt&)> mendingHook(const SharedCallable& shared) {
  if (!shared) return {};
  return [shared](const FailedAttempt& failed) {
    py::gil_scoped_acquire gil;
    const py::object callable = *shared;  // held for the call: the collector may empty the shared one
    if (!callable) return false;
    try {
      return PyObject_IsTrue(callable(failed).ptr()) == 1;
    } catch (py::error_already_set& error) {
      error.restore();
      keepPythonError();
      throw PythonErrorPending();
    }
  };
}

std::unique_ptr<Reconnecting> openReconnecting(const py::object& clientObject, const Text<kKind>& kind,
                                               Text<kPrimPath> primPath, const std::optional<ReconnectPolicy>& policy,
                                               Texts<kOpeningMessages> openingMessages, const py::object& beforeReopen,
                                               const py::object& onReconnect, const py::object& afterFailedAttempt) {
  if (!py::isinstance<IsaacSimClient>(clientObject)) throw py::type_error("client must be a corvane.Client");
  auto& client = clientObject.cast<IsaacSimClient&>();
  const ArticulationStream which = streamKind(kind.value);
  ReconnectingHolds holds{clientObject, shareCallable(beforeReopen), shareCallable(onReconnect),
                          shareCallable(afterFailedAttempt)};
  ReconnectOptions options;
  if (policy) options.policy = *policy;
  options.openingMessages = std::move(openingMessages.values);
  options.beforeReopen = pythonCallback<ReopenAttempt>(holds.beforeReopen);
  options.onReconnect = pythonCallback<ReconnectEvent>(holds.onReconnect);
  options.afterFailedAttempt = mendingHook(holds.afterFailedAttempt);
  ReconnectingStream stream =
      released([&] { return ReconnectingStream(client, which, std::move(primPath.value), std::move(options)); });
  return std::make_unique<Reconnecting>(std::move(holds), std::move(stream));
}

int visitShared(const SharedCallable& callable, visitproc visit, void* arg) {
  return callable ? visitObject(*callable, visit, arg) : 0;
}

void bindPolicy(py::module_& module) {
  py::class_<ReconnectPolicy>(module, "ReconnectPolicy",
                              "When a ReconnectingStream tries again: pauses (seconds) doubling from first_pause up to "
                              "largest_pause,\nwith jitter, and at most max_attempts attempts per outage (None: no "
                              "limit).")
      .def(py::init([](double firstPause, double largestPause, std::optional<int> maxAttempts) {
             return ReconnectPolicy(millisecondsOf(firstPause, "first_pause"),
                                    millisecondsOf(largestPause, "largest_pause"),
                                    maxAttempts.value_or(ReconnectPolicy::kUnlimited));
           }),
           "first_pause"_a = 0.1, "largest_pause"_a = 5.0, "max_attempts"_a = py::none(),
           "A policy (pauses in seconds). Raises ValueError for a pause <= 0 or largest_pause < first_pause.")
      .def_property_readonly(
          "first_pause", [](const ReconnectPolicy& p) { return secondsOf(p.firstPause()); },
          "Seconds before the first attempt.")
      .def_property_readonly(
          "largest_pause", [](const ReconnectPolicy& p) { return secondsOf(p.largestPause()); },
          "The longest pause, in seconds.")
      .def_property_readonly(
          "max_attempts",
          [](const ReconnectPolicy& p) -> std::optional<int> {
            if (p.maxAttempts() == ReconnectPolicy::kUnlimited) return std::nullopt;
            return p.maxAttempts();
          },
          "Attempts per outage, or None (no limit).")
      .def(
          "pause_before",
          [](const ReconnectPolicy& p, int attempt, double unit) { return secondsOf(p.pauseBefore(attempt, unit)); },
          "attempt"_a, "unit"_a, "The pause (seconds) before attempt `attempt`, jittered by `unit` in [0, 1].")
      .def("allows", &ReconnectPolicy::allows, "attempt"_a, "Whether attempt number `attempt` (from 1) may be made.");
}

void bindEvents(py::module_& module) {
  py::class_<ReopenAttempt>(module, "ReopenAttempt", "Handed to before_reopen before each reopening attempt.")
      .def_readonly("attempt", &ReopenAttempt::attempt, "1 for the first attempt after the loss.")
      .def_readonly("last_http_status", &ReopenAttempt::lastHttpStatus,
                    "The status with which the bridge refused the previous handshake (404: no such articulation); 0 "
                    "when it did not answer.")
      .def("__repr__", [](const ReopenAttempt& a) {
        return py::str("ReopenAttempt(attempt={}, last_http_status={})").format(a.attempt, a.lastHttpStatus);
      });
  py::class_<FailedAttempt>(module, "FailedAttempt", "Handed to after_failed_attempt right after an attempt failed.")
      .def_readonly("attempt", &FailedAttempt::attempt, "1 for the first attempt after the loss.")
      .def_readonly("http_status", &FailedAttempt::httpStatus,
                    "The status with which the bridge refused the handshake; 0 when it did not answer.")
      .def_property_readonly(
          "error", [](const FailedAttempt& f) { return lenientText(f.error); }, "The error's message.")
      .def_readonly("code", &FailedAttempt::code, "libcurl's error code, 0 when there was none.")
      .def("__repr__", [](const FailedAttempt& f) {
        return py::str("FailedAttempt(attempt={}, http_status={}, error={!r})")
            .format(f.attempt, f.httpStatus, lenientText(f.error));
      });
  py::class_<ReconnectEvent>(module, "ReconnectEvent", "Handed to on_reconnect after a connection was reopened.")
      .def_readonly("reconnections", &ReconnectEvent::reconnections, "Reconnections so far, this one included.")
      .def_readonly("attempts", &ReconnectEvent::attempts, "Attempts this outage took, the successful one included.")
      .def_property_readonly(
          "down", [](const ReconnectEvent& e) { return secondsOf(e.down); }, "Seconds this outage lasted.")
      .def_property_readonly(
          "cause", [](const ReconnectEvent& e) { return lenientText(e.cause); }, "What ended the previous connection.")
      .def("__repr__", [](const ReconnectEvent& e) {
        return py::str("ReconnectEvent(reconnections={}, attempts={}, down={}, cause={!r})")
            .format(e.reconnections, e.attempts, secondsOf(e.down), lenientText(e.cause));
      });
}

}  // namespace

// The stream's client and callbacks are seen by the collector; clearing drops the callbacks (the stream
// keeps using its client until it is gone).
template <>
struct Collect<Reconnecting> {
  static int traverse(Reconnecting& s, visitproc visit, void* arg) {
    if (const int stop = visitObject(s.client, visit, arg)) return stop;
    if (const int stop = visitShared(s.beforeReopen, visit, arg)) return stop;
    if (const int stop = visitShared(s.onReconnect, visit, arg)) return stop;
    return visitShared(s.afterFailedAttempt, visit, arg);
  }
  static void clear(Reconnecting& s) {
    if (s.beforeReopen) *s.beforeReopen = py::object();
    if (s.onReconnect) *s.onReconnect = py::object();
    if (s.afterFailedAttempt) *s.afterFailedAttempt = py::object();
  }
};

void bindReconnecting(py::module_& module) {
  bindPolicy(module);
  bindEvents(module);
  py::class_<Reconnecting> stream(
      module, "ReconnectingStream", collectable<Reconnecting>(),
      "A joint-position (kind \"joint_positions\") or articulation-state (\"articulation_state\") stream that\n"
      "reopens itself after a loss, inside the caller's own calls, and sends the opening messages again. The\n"
      "callbacks run on the caller's thread; what they raise reaches the caller. Opening fails as the\n"
      "client's stream openers do (HandshakeError); when the policy's attempts are spent, calls raise\n"
      "StreamError. after_failed_attempt(failed) runs right after a failed attempt; a true answer says the\n"
      "cause is mended and the next attempt comes at once (once per step of the backoff). During an outage,\n"
      "Ctrl-C ends a receive_for within about a second.");
  stream.def(py::init(&openReconnecting), "client"_a, "kind"_a, "prim_path"_a, py::kw_only(), "policy"_a = py::none(),
             "opening_messages"_a = std::vector<std::string>(), "before_reopen"_a = py::none(),
             "on_reconnect"_a = py::none(), "after_failed_attempt"_a = py::none(),
             "Opens the stream `kind` of the articulation at `prim_path` through `client` (kept alive by the\n"
             "stream) and sends `opening_messages`. policy: a ReconnectPolicy (None: the default one).\n"
             "before_reopen(ReopenAttempt) runs before each reopening attempt, on_reconnect(ReconnectEvent)\n"
             "after each reopened connection, after_failed_attempt(FailedAttempt) right after each failed one\n"
             "(return True when the cause is mended); all on the caller's thread. Raises HandshakeError when\n"
             "the first opening fails, ValueError for an unknown kind.");
  defineStreamMethods(stream);
  stream.def_property_readonly("is_connected", &Reconnecting::isConnected, "Whether a connection is held now.")
      .def_property_readonly(
          "client", [](const Reconnecting& s) { return s.client; }, "The client the stream reopens through.")
      .def("__repr__", [](Reconnecting& s) {
        return std::string("<corvane.ReconnectingStream ") + (s.isConnected() ? "connected" : "not connected") + ">";
      });
}

}  // namespace corvane::python
