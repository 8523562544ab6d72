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
#include "collectable.hpp"
#include "json_convert.hpp"
#include "python_error.hpp"
#include "response.hpp"
#include "stream.hpp"
#include "text_arg.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;
using std::string_view;

// The keywords that are not options: refused as Python refuses an unknown keyword.
void checkNoOtherKeywords(const char* function, const py::kwargs& others) {
  if (others.empty()) return;
  const py::handle name = (*others.begin()).first;
  throw py::type_error(std::string(function) + "() got an unexpected keyword argument " + std::string(py::repr(name)));
}

// Header lines as "Name: value" strings, or a mapping of names to values.
std::vector<std::string> headerLines(const py::object& headers) {
  if (headers.is_none()) return {};
  constexpr const char* kHeaders = "headers";
  const auto text = [&](py::handle value) {
    std::string out;
    if (!loadText(value, kHeaders, out)) throw py::cast_error();
    return out;
  };
  try {
    std::vector<std::string> lines;
    if (!py::hasattr(headers, "items")) {
      if (py::isinstance<py::str>(headers) || py::isinstance<py::bytes>(headers)) throw py::cast_error();
      for (const py::handle line : headers) lines.push_back(text(line));
      return lines;
    }
    for (const py::handle item : headers.attr("items")()) {
      const auto pair = item.cast<py::tuple>();
      lines.push_back(text(pair[0]) + ": " + text(pair[1]));
    }
    return lines;
  } catch (const py::cast_error&) {
    throw py::type_error("headers must be a list of 'Name: value' strings or a dict of names to values");
  }
}

// The settings of a client as the keywords that make it; with_options starts from them.
struct Settings {
  double timeout = 10.0;
  int maxRetries = 3;
  bool reuseConnections = false;
  py::object headers = py::none();
  py::object caFile = py::none();
  std::optional<Text<kProxy>> proxy;
  std::optional<double> deadline;
  py::object interrupted = py::none();
  int maxConnections = ClientOptions{}.maxConnections;
  std::size_t maxReplyBytes = ClientOptions{}.maxReplyBytes;
  std::shared_ptr<ClientObserver> observer;  // a recorder's, or none
  std::optional<RetryPolicy> retryPolicy;
};

ClientOptions clientOptions(const Settings& s, StopFlag flag) {
  if (!s.interrupted.is_none() && !PyCallable_Check(s.interrupted.ptr()))
    throw py::type_error("interrupted must be a callable or None");
  ClientOptions options;
  options.reuseConnections = s.reuseConnections;
  options.headers = headerLines(s.headers);
  if (!s.caFile.is_none()) options.caFile = py::module_::import("os").attr("fsencode")(s.caFile).cast<std::string>();
  if (s.proxy) options.proxy = s.proxy->value;
  if (s.deadline) options.deadline = millisecondsOf(*s.deadline, "deadline");
  options.interrupted = interruptHook(s.interrupted, std::move(flag));
  options.maxConnections = s.maxConnections;
  options.maxReplyBytes = s.maxReplyBytes;
  options.observer = s.observer;
  options.retryPolicy = s.retryPolicy;
  return options;
}

std::unique_ptr<IsaacSimClient> makeClient(Text<kLabel> label, Text<kBaseUrl> baseUrl,
                                           Text<kWebsocketBaseUrl> websocketBaseUrl, double timeout, int maxRetries,
                                           bool reuseConnections, py::object headers, py::object caFile,
                                           std::optional<Text<kProxy>> proxy, std::optional<double> deadline,
                                           py::object interrupted, int maxConnections, std::size_t maxReplyBytes,
                                           const py::object& recorder, std::optional<RetryPolicy> retryPolicy,
                                           const py::kwargs& others) {
  checkNoOtherKeywords("Client", others);
  const Settings settings{timeout,
                          maxRetries,
                          reuseConnections,
                          std::move(headers),
                          std::move(caFile),
                          std::move(proxy),
                          deadline,
                          std::move(interrupted),
                          maxConnections,
                          maxReplyBytes,
                          recorder.is_none() ? nullptr : observerOf(recorder),
                          std::move(retryPolicy)};
  return std::make_unique<IsaacSimClient>(std::move(label.value), std::move(baseUrl.value),
                                          std::move(websocketBaseUrl.value), millisecondsOf(timeout, "timeout"),
                                          maxRetries, clientOptions(settings, nullptr));
}

Settings settingsOf(const IsaacSimClient& c) {
  const ClientOptions& o = c.options();
  Settings s;
  s.timeout = secondsOf(c.timeout());
  s.maxRetries = c.maxRetries();
  s.reuseConnections = o.reuseConnections;
  s.headers = py::cast(o.headers);
  if (!o.caFile.empty()) s.caFile = py::module_::import("os").attr("fsdecode")(py::bytes(o.caFile));
  if (!o.proxy.empty()) s.proxy = Text<kProxy>{o.proxy};
  if (o.deadline) s.deadline = secondsOf(*o.deadline);
  s.interrupted = interruptCallable(o.interrupted);
  s.maxConnections = o.maxConnections;
  s.maxReplyBytes = o.maxReplyBytes;
  s.observer = o.observer;
  s.retryPolicy = o.retryPolicy;
  return s;
}

// Applies one keyword option, as the constructor reads it; false for an unknown name.
bool change(Settings& s, const std::string& name, py::handle value) {
  const auto object = [&] { return py::reinterpret_borrow<py::object>(value); };
  if (name == "timeout")
    s.timeout = value.cast<double>();
  else if (name == "max_retries")
    s.maxRetries = value.cast<int>();
  else if (name == "reuse_connections")
    s.reuseConnections = value.cast<bool>();
  else if (name == "headers")
    s.headers = object();
  else if (name == "ca_file")
    s.caFile = object();
  else if (name == "proxy")
    s.proxy = value.cast<std::optional<Text<kProxy>>>();
  else if (name == "deadline")
    s.deadline = value.cast<std::optional<double>>();
  else if (name == "interrupted")
    s.interrupted = object();
  else if (name == "max_connections")
    s.maxConnections = value.cast<int>();
  else if (name == "max_reply_bytes")
    s.maxReplyBytes = value.cast<std::size_t>();
  else if (name == "recorder")
    s.observer = value.is_none() ? nullptr : observerOf(object());
  else if (name == "retry_policy")
    s.retryPolicy = value.cast<std::optional<RetryPolicy>>();
  else
    return false;
  return true;
}

void change(Settings& s, const py::kwargs& changes) {
  for (const auto& [key, value] : changes) {
    const std::string name = py::str(key);
    try {
      if (!change(s, name, value))
        throw py::type_error("with_options() got an unexpected keyword argument " + std::string(py::repr(key)));
    } catch (const py::cast_error&) {
      throw py::type_error("with_options(): " + name + " cannot be " +
                           std::string(py::str(py::type::handle_of(value).attr("__name__"))));
    }
  }
}

std::unique_ptr<IsaacSimClient> sibling(const IsaacSimClient& c, const Settings& s, StopFlag flag) {
  ClientOptions options = clientOptions(s, std::move(flag));
  return std::make_unique<IsaacSimClient>(
      c.withOptions(millisecondsOf(s.timeout, "timeout"), s.maxRetries, std::move(options)));
}

std::unique_ptr<IsaacSimClient> withOptions(const IsaacSimClient& c, const py::kwargs& changes) {
  Settings settings = settingsOf(c);
  change(settings, changes);
  return sibling(c, settings, nullptr);
}

Response get(IsaacSimClient& c, const Text<kPath>& path) {
  return Response(released([&] { return c.get(path); }));
}
Response deleteRequest(IsaacSimClient& c, const Text<kPath>& path) {
  return Response(released([&] { return c.deleteRequest(path); }));
}
Response post(IsaacSimClient& c, const Text<kPath>& path, py::handle body) {
  const std::string text = requestBody(body, "body");
  return Response(released([&] { return c.post(path, text); }));
}
Response put(IsaacSimClient& c, const Text<kPath>& path, py::handle body) {
  const std::string text = requestBody(body, "body");
  return Response(released([&] { return c.put(path, text); }));
}
Response patch(IsaacSimClient& c, const Text<kPath>& path, py::handle body) {
  const std::string text = requestBody(body, "body");
  return Response(released([&] { return c.patch(path, text); }));
}

std::unique_ptr<Stream> openJointPositionStream(IsaacSimClient& c, const Text<kPrimPath>& path) {
  return std::make_unique<Stream>(released([&] { return c.openJointPositionStream(path); }));
}
std::unique_ptr<Stream> openArticulationStateStream(IsaacSimClient& c, const Text<kPrimPath>& path) {
  return std::make_unique<Stream>(released([&] { return c.openArticulationStateStream(path); }));
}

// The collector sees the client's interruption callable (see collectable.hpp); each Python client holds its
// own reference to it (with_options makes a new one), so the count the collector is told is exact.
const SharedCallable* heldCallable(const IsaacSimClient& c) {
  const auto* hook = c.options().interrupted.target<InterruptHook>();
  return hook == nullptr || !hook->user ? nullptr : &hook->user;
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

template <>
struct Collect<IsaacSimClient> {
  static int traverse(IsaacSimClient& c, visitproc visit, void* arg) {
    const SharedCallable* callable = heldCallable(c);
    return callable == nullptr ? 0 : visitObject(**callable, visit, arg);
  }
  static void clear(IsaacSimClient& c) {
    if (const SharedCallable* callable = heldCallable(c)) **callable = py::object();
  }
};

std::chrono::milliseconds millisecondsOf(double seconds, const char* name) {
  if (!std::isfinite(seconds)) throw py::value_error(std::string(name) + " must be a finite number of seconds");
  constexpr double kLongestMs = 1e15;  // about 30 000 years, far inside the range libcurl takes
  return std::chrono::milliseconds(static_cast<long long>(std::min(std::ceil(seconds * 1000.0), kLongestMs)));
}

void bindClient(py::module_& module) {
  constexpr auto family = py::return_value_policy::reference_internal;  // keeps the client alive
  py::class_<std::atomic<bool>, std::shared_ptr<std::atomic<bool>>>(
      module, "_StopFlag", "A flag that stops the calls of the siblings made with it (corvane.aio's cancellation).")
      .def(py::init([] { return std::make_shared<std::atomic<bool>>(false); }))
      .def(
          "set", [](std::atomic<bool>& f) { f = true; }, "Stops the calls watching the flag within about 100 ms.")
      .def(
          "clear", [](std::atomic<bool>& f) { f = false; }, "Lowers the flag again.")
      .def(
          "is_set", [](const std::atomic<bool>& f) { return f.load(); }, "Whether the flag is raised.");

  py::class_<IsaacSimClient>(module, "Client", collectable<IsaacSimClient>(),
                             "The connection to one bridge. Construction only checks and stores settings and sends "
                             "nothing;\nevery call opens its own connection unless reuse_connections is on, so one "
                             "client may serve several\nthreads. Timeouts are in seconds.")
      .def(py::init(&makeClient), "label"_a, "base_url"_a, "websocket_base_url"_a, "timeout"_a = 10.0,
           "max_retries"_a = 3, py::kw_only(), "reuse_connections"_a = false, "headers"_a = py::none(),
           "ca_file"_a = py::none(), "proxy"_a = py::none(), "deadline"_a = py::none(), "interrupted"_a = py::none(),
           "max_connections"_a = ClientOptions{}.maxConnections, "max_reply_bytes"_a = ClientOptions{}.maxReplyBytes,
           "recorder"_a = py::none(), "retry_policy"_a = py::none(),
           "A client of the bridge at `base_url` (REST) and `websocket_base_url` (streams); `label` names it.\n"
           "timeout: seconds per attempt; max_retries: retries after a transport failure or a status 408, 409,\n"
           "429 or >= 500 (but 501). Keyword options: reuse_connections (keep connections across calls),\n"
           "headers (lines 'Name: value' or a dict, sent with every request and handshake), ca_file (PEM of\n"
           "trusted CAs), proxy (a URL; no proxy otherwise, whatever the environment says), deadline (seconds\n"
           "for a whole call, retries included), interrupted (a callable asked about every 100 ms while a call\n"
           "waits; True stops it with InterruptedError), max_connections (the most connections one call or\n"
           "batch opens at once), max_reply_bytes (the largest reply body taken; a larger one is TransportError\n"
           "kind replyTooLarge), recorder (a corvane.Recorder that records every exchange, stream message and\n"
           "capture, or a corvane.RecorderSlot to change recorders later), retry_policy (a corvane.RetryPolicy:\n"
           "which statuses and methods are retried, and the pauses). Ctrl-C stops a waiting call with\n"
           "KeyboardInterrupt in any case. Raises ValueError for an empty URL, a timeout or deadline <= 0,\n"
           "max_retries < 0, a refused header line or retry policy; TypeError for an unknown keyword.")
      .def("with_options", &withOptions,
           "A sibling client: the same label and URLs, the keyword options given (any of the constructor's:\n"
           "timeout, max_retries, reuse_connections, headers, ca_file, proxy, deadline, interrupted,\n"
           "max_connections, max_reply_bytes, recorder, retry_policy) and this client's for the others. With "
           "reuse_connections on "
           "both,\n"
           "it shares this client's kept connections.\n"
           "Sends nothing and is cheap enough to make per call, e.g.\n"
           "client.with_options(timeout=30.0).articulation.move_joint_positions(...). Raises as the\n"
           "constructor does.")
      .def(
          "_cancellable", [](const IsaacSimClient& c, StopFlag flag) { return sibling(c, settingsOf(c), flag); },
          "flag"_a, "A sibling whose calls end with InterruptedError once `flag` is set (for corvane.aio).")
      .def_property_readonly("label", &IsaacSimClient::label, "The label given at construction.")
      .def_property_readonly("base_url", &IsaacSimClient::baseUrl, "The REST base URL, ending in '/'.")
      .def_property_readonly("websocket_base_url", &IsaacSimClient::websocketBaseUrl,
                             "The WebSocket base URL, ending in '/'.")
      .def_property_readonly(
          "max_connections", [](const IsaacSimClient& c) { return c.options().maxConnections; },
          "The most connections one call or batch opens at once.")
      .def_property_readonly(
          "max_reply_bytes", [](const IsaacSimClient& c) { return c.options().maxReplyBytes; },
          "The largest reply body taken.")
      .def_property_readonly(
          "timeout", [](const IsaacSimClient& c) { return secondsOf(c.timeout()); }, "Seconds per attempt.")
      .def_property_readonly("max_retries", &IsaacSimClient::maxRetries, "Retries after the first attempt.")
      .def_property_readonly(
          "reuse_connections", [](const IsaacSimClient& c) { return c.options().reuseConnections; },
          "Whether connections are kept across calls.")
      .def_property_readonly(
          "headers", [](const IsaacSimClient& c) { return c.options().headers; },
          "The extra header lines, 'Name: value' each.")
      .def_property_readonly(
          "ca_file", [](const IsaacSimClient& c) { return settingsOf(c).caFile; },
          "The PEM file of trusted CAs, or None (the system's).")
      .def_property_readonly(
          "proxy", [](const IsaacSimClient& c) { return unlessEmpty(c.options().proxy); },
          "The proxy URL, or None (no proxy).")
      .def_property_readonly(
          "deadline",
          [](const IsaacSimClient& c) -> std::optional<double> {
            if (!c.options().deadline) return std::nullopt;
            return secondsOf(*c.options().deadline);
          },
          "Seconds one call may take in all, or None.")
      .def_property_readonly(
          "retry_policy", [](const IsaacSimClient& c) { return c.options().retryPolicy; },
          "The RetryPolicy, or None (the default rules, with libc's rand() for the jitter).")
      .def_property_readonly(
          "interrupted", [](const IsaacSimClient& c) { return interruptCallable(c.options().interrupted); },
          "The interruption callable, or None.")
      .def_property_readonly(
          "articulation", [](IsaacSimClient& c) -> Articulation& { return c.articulation; }, family,
          "The articulation family (robots).")
      .def_property_readonly(
          "surface_gripper", [](IsaacSimClient& c) -> SurfaceGripper& { return c.surfaceGripper; }, family,
          "The surface gripper family.")
      .def_property_readonly(
          "camera", [](IsaacSimClient& c) -> Camera& { return c.camera; }, family, "The camera family.")
      .def("get", &get, "path"_a,
           "GET `path` (relative to base_url); the Response whatever its status. Raises TransportError when\n"
           "the last attempt fails in transport, SetupError when libcurl cannot be set up, InterruptedError.")
      .def("post", &post, "path"_a, "body"_a = "",
           "POST `body` to `path`: a str or bytes as it is, a dict or list as compact JSON (keys sorted,\n"
           "non-ASCII as UTF-8, as the families send theirs). The Response whatever its status; raises as\n"
           "get() does, TypeError for another body type, ValueError for a str that is not valid Unicode.")
      .def("put", &put, "path"_a, "body"_a = "", "PUT `body` to `path`; the body and errors as for post().")
      .def("patch", &patch, "path"_a, "body"_a = "", "PATCH `body` to `path`; the body and errors as for post().")
      .def("delete", &deleteRequest, "path"_a, "DELETE `path`; the Response whatever its status (errors as get()).")
      .def("delete_request", &deleteRequest, "path"_a, "The same as delete().")
      .def("batch", &batch, "requests"_a,
           "Performs the requests, (method, path) or (method, path, body) each, together on this thread; a\n"
           "BatchResult per request, in order. Each has its own retries and deadline. A body is str, bytes,\n"
           "or a dict or list sent as compact JSON; another type raises TypeError before anything is sent.")
      .def("open_joint_position_stream", &openJointPositionStream, "prim_path"_a,
           "Opens the joint-position stream of the articulation at `prim_path` (a Stream). Raises\n"
           "HandshakeError when the bridge refuses or does not answer within the timeout.")
      .def("open_articulation_state_stream", &openArticulationStateStream, "prim_path"_a,
           "Opens the articulation-state stream of the articulation at `prim_path`; as above.")
      .def("__repr__", &reprOf);
}

}  // namespace corvane::python
