// corvane.Client: the connection settings, the verbs, the stream openers and the three families.
#include <corvane/client.hpp>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>

#include "response.hpp"
#include "stream.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;
using std::string_view;

// Seconds as the client's milliseconds, rounded up so that a positive timeout stays positive; zero and
// negative values go through unchanged for the client to refuse with its own message.
std::chrono::milliseconds timeoutOf(double seconds) {
  if (!std::isfinite(seconds)) throw py::value_error("timeout must be a finite number of seconds");
  constexpr double kLongestMs = 1e15;  // about 30 000 years, far inside the range libcurl takes
  return std::chrono::milliseconds(static_cast<long long>(std::min(std::ceil(seconds * 1000.0), kLongestMs)));
}

// The keyword options of the C++ ClientOptions go here, one keyword each; there are none yet.
void checkOptions(const py::kwargs& options) {
  if (options.empty()) return;
  const py::handle name = (*options.begin()).first;
  throw py::type_error("Client() got an unexpected keyword argument " + std::string(py::repr(name)));
}

std::unique_ptr<IsaacSimClient> makeClient(std::string label, std::string baseUrl, std::string websocketBaseUrl,
                                           double timeout, int maxRetries, const py::kwargs& options) {
  checkOptions(options);
  return std::make_unique<IsaacSimClient>(std::move(label), std::move(baseUrl), std::move(websocketBaseUrl),
                                          timeoutOf(timeout), maxRetries);
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
                         .format(c.label(), c.baseUrl(), c.websocketBaseUrl(),
                                 static_cast<double>(c.timeout().count()) / 1000.0, c.maxRetries()));
}

}  // namespace

void bindClient(py::module_& module) {
  constexpr auto family = py::return_value_policy::reference_internal;  // keeps the client alive
  py::class_<IsaacSimClient>(module, "Client",
                             "The connection to one bridge. Construction only checks and stores settings; every call "
                             "opens its own connection,\nso one client may serve several threads. Timeouts are in "
                             "seconds.")
      .def(py::init(&makeClient), "label"_a, "base_url"_a, "websocket_base_url"_a, "timeout"_a = 10.0,
           "max_retries"_a = 3)
      .def_property_readonly("label", &IsaacSimClient::label)
      .def_property_readonly("base_url", &IsaacSimClient::baseUrl)
      .def_property_readonly("websocket_base_url", &IsaacSimClient::websocketBaseUrl)
      .def_property_readonly("timeout",
                             [](const IsaacSimClient& c) { return static_cast<double>(c.timeout().count()) / 1000.0; })
      .def_property_readonly("max_retries", &IsaacSimClient::maxRetries)
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
      .def("open_joint_position_stream", &openJointPositionStream, "prim_path"_a)
      .def("open_articulation_state_stream", &openArticulationStateStream, "prim_path"_a)
      .def("__repr__", &reprOf);
}

}  // namespace corvane::python
