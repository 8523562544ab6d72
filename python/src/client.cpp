// corvane.Client: the connection settings, the verbs, the stream openers and the three families.
#include <corvane/client.hpp>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch.hpp"
#include "python_error.hpp"
#include "response.hpp"
#include "stream.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;
using std::string_view;

// The keywords that are not options: refused as Python refuses an unknown keyword.
void checkNoOtherKeywords(const py::kwargs& others) {
  if (others.empty()) return;
  const py::handle name = (*others.begin()).first;
  throw py::type_error("Client() got an unexpected keyword argument " + std::string(py::repr(name)));
}

// Header lines as "Name: value" strings, or a mapping of names to values.
std::vector<std::string> headerLines(const py::object& headers) {
  if (headers.is_none()) return {};
  try {
    if (!py::hasattr(headers, "items")) return headers.cast<std::vector<std::string>>();
    std::vector<std::string> lines;
    for (const py::handle item : headers.attr("items")()) {
      const auto pair = item.cast<py::tuple>();
      lines.push_back(pair[0].cast<std::string>() + ": " + pair[1].cast<std::string>());
    }
    return lines;
  } catch (const py::cast_error&) {
    throw py::type_error("headers must be a list of 'Name: value' strings or a dict of names to values");
  }
}

ClientOptions clientOptions(bool reuseConnections, const py::object& headers, const py::object& caFile,
                            std::optional<std::string> proxy, std::optional<double> deadline,
                            const py::object& interrupted) {
  if (!interrupted.is_none() && !PyCallable_Check(interrupted.ptr()))
    throw py::type_error("interrupted must be a callable or None");
  ClientOptions options;
  options.reuseConnections = reuseConnections;
  options.headers = headerLines(headers);
  if (!caFile.is_none()) options.caFile = py::module_::import("os").attr("fspath")(caFile).cast<std::string>();
  options.proxy = proxy.value_or("");
  if (deadline) options.deadline = millisecondsOf(*deadline, "deadline");
  options.interrupted = interruptHook(interrupted);  // always: Ctrl-C ends retry series and batches
  return options;
}

std::unique_ptr<IsaacSimClient> makeClient(std::string label, std::string baseUrl, std::string websocketBaseUrl,
                                           double timeout, int maxRetries, bool reuseConnections,
                                           const py::object& headers, const py::object& caFile,
                                           std::optional<std::string> proxy, std::optional<double> deadline,
                                           const py::object& interrupted, const py::object& recorder,
                                           const py::kwargs& others) {
  checkNoOtherKeywords(others);
  ClientOptions options = clientOptions(reuseConnections, headers, caFile, std::move(proxy), deadline, interrupted);
  if (!recorder.is_none()) options.observer = observerOf(recorder);
  return std::make_unique<IsaacSimClient>(std::move(label), std::move(baseUrl), std::move(websocketBaseUrl),
                                          millisecondsOf(timeout, "timeout"), maxRetries, std::move(options));
}

Response get(IsaacSimClient& c, string_view path) {
  return Response(released([&] { return c.get(path); }));
}
Response deleteRequest(IsaacSimClient& c, string_view path) {
  return Response(released([&] { return c.deleteRequest(path); }));
}
Response post(IsaacSimClient& c, string_view path, string_view body) {
  return Response(released([&] { return c.post(path, body); }));
}
Response put(IsaacSimClient& c, string_view path, string_view body) {
  return Response(released([&] { return c.put(path, body); }));
}
Response patch(IsaacSimClient& c, string_view path, string_view body) {
  return Response(released([&] { return c.patch(path, body); }));
}

std::unique_ptr<Stream> openJointPositionStream(IsaacSimClient& c, string_view path) {
  return std::make_unique<Stream>(released([&] { return c.openJointPositionStream(path); }));
}
std::unique_ptr<Stream> openArticulationStateStream(IsaacSimClient& c, string_view path) {
  return std::make_unique<Stream>(released([&] { return c.openArticulationStateStream(path); }));
}

std::string reprOf(const IsaacSimClient& c) {
  return std::string(py::str("corvane.Client({!r}, {!r}, {!r}, timeout={}, max_retries={})")
                         .format(c.label(), c.baseUrl(), c.websocketBaseUrl(), secondsOf(c.timeout()), c.maxRetries()));
}

std::optional<std::string> unlessEmpty(const std::string& value) {
  if (value.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::chrono::milliseconds millisecondsOf(double seconds, const char* name) {
  if (!std::isfinite(seconds)) throw py::value_error(std::string(name) + " must be a finite number of seconds");
  constexpr double kLongestMs = 1e15;  // about 30 000 years, far inside the range libcurl takes
  return std::chrono::milliseconds(static_cast<long long>(std::min(std::ceil(seconds * 1000.0), kLongestMs)));
}

void bindClient(py::module_& module) {
  constexpr auto family = py::return_value_policy::reference_internal;  // keeps the client alive
  py::class_<IsaacSimClient>(module, "Client",
                             "The connection to one bridge. Construction only checks and stores settings; every call "
                             "opens its own connection,\nso one client may serve several threads. Timeouts are in "
                             "seconds.")
      .def(py::init(&makeClient), "label"_a, "base_url"_a, "websocket_base_url"_a, "timeout"_a = 10.0,
           "max_retries"_a = 3, py::kw_only(), "reuse_connections"_a = false, "headers"_a = py::none(),
           "ca_file"_a = py::none(), "proxy"_a = py::none(), "deadline"_a = py::none(), "interrupted"_a = py::none(),
           "recorder"_a = py::none(),
           "Keyword options: reuse_connections (keep connections across calls), headers (lines 'Name: value' or a\n"
           "dict, sent with every request and handshake), ca_file (PEM of trusted CAs), proxy (a URL; no proxy\n"
           "otherwise, whatever the environment says), deadline (seconds for a whole call, retries included),\n"
           "interrupted (a callable asked about every 100 ms while a call waits; True stops it with\n"
           "InterruptedError), recorder (a corvane.Recorder that records every exchange, stream message and\n"
           "capture, or a corvane.RecorderSlot to change recorders later). Ctrl-C stops a waiting call with\n"
           "KeyboardInterrupt in any case.")
      .def_property_readonly("label", &IsaacSimClient::label)
      .def_property_readonly("base_url", &IsaacSimClient::baseUrl)
      .def_property_readonly("websocket_base_url", &IsaacSimClient::websocketBaseUrl)
      .def_property_readonly("timeout", [](const IsaacSimClient& c) { return secondsOf(c.timeout()); })
      .def_property_readonly("max_retries", &IsaacSimClient::maxRetries)
      .def_property_readonly("reuse_connections", [](const IsaacSimClient& c) { return c.options().reuseConnections; })
      .def_property_readonly("headers", [](const IsaacSimClient& c) { return c.options().headers; })
      .def_property_readonly("ca_file", [](const IsaacSimClient& c) { return unlessEmpty(c.options().caFile); })
      .def_property_readonly("proxy", [](const IsaacSimClient& c) { return unlessEmpty(c.options().proxy); })
      .def_property_readonly("deadline",
                             [](const IsaacSimClient& c) -> std::optional<double> {
                               if (!c.options().deadline) return std::nullopt;
                               return secondsOf(*c.options().deadline);
                             })
      .def_property_readonly(
          "articulation", [](IsaacSimClient& c) -> Articulation& { return c.articulation; }, family)
      .def_property_readonly(
          "surface_gripper", [](IsaacSimClient& c) -> SurfaceGripper& { return c.surfaceGripper; }, family)
      .def_property_readonly(
          "camera", [](IsaacSimClient& c) -> Camera& { return c.camera; }, family)
      .def("get", &get, "path"_a, "GET `path`; the response whatever its status.")
      .def("post", &post, "path"_a, "body"_a = "", "POST `body` (JSON) to `path`.")
      .def("put", &put, "path"_a, "body"_a = "", "PUT `body` (JSON) to `path`.")
      .def("patch", &patch, "path"_a, "body"_a = "", "PATCH `body` (JSON) to `path`.")
      .def("delete", &deleteRequest, "path"_a, "DELETE `path`.")
      .def("delete_request", &deleteRequest, "path"_a, "The same as delete().")
      .def("batch", &batch, "requests"_a,
           "Performs the requests, (method, path) or (method, path, body) each, together on this thread; a\n"
           "BatchResult per request, in order. Each has its own retries and deadline.")
      .def("open_joint_position_stream", &openJointPositionStream, "prim_path"_a)
      .def("open_articulation_state_stream", &openArticulationStateStream, "prim_path"_a)
      .def("__repr__", &reprOf);
}

}  // namespace corvane::python
