// client.batch and corvane.BatchResult: each entry's response, or its exception as a Python object that
// reading the response raises.
#include "batch.hpp"

#include <string>
#include <utility>
#include <vector>

#include "collectable.hpp"
#include "json_convert.hpp"
#include "response.hpp"
#include "text_arg.hpp"

namespace corvane::python {
namespace {

struct Outcome {
  py::object response;  // a Response, or None
  py::object error;     // the exception, or None
};

BatchRequest toRequest(const py::handle& item) {
  if (py::isinstance<py::str>(item) || py::isinstance<py::bytes>(item) || !py::isinstance<py::sequence>(item))
    throw py::type_error("a batch request is a tuple (method, path) or (method, path, body)");
  const auto fields = py::reinterpret_borrow<py::sequence>(item);
  const std::size_t count = fields.size();
  if (count != 2 && count != 3) {
    throw py::value_error("a batch request is (method, path) or (method, path, body), not " + std::to_string(count) +
                          " items");
  }
  BatchRequest request;
  if (!loadText(fields[0], "a batch request's method", request.method) ||
      !loadText(fields[1], "a batch request's path", request.path)) {
    throw py::type_error("a batch request's method and path are str");
  }
  if (count == 3) request.body = requestBody(fields[2], "a batch request's body");
  return request;
}

py::object responseOf(const Outcome& outcome) {
  if (!outcome.error.is_none()) {
    // Raised afresh each time: the traceback of an earlier read does not grow with every read.
    PyException_SetTraceback(outcome.error.ptr(), Py_None);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(outcome.error.ptr())), outcome.error.ptr());
    throw py::error_already_set();
  }
  return outcome.response;
}

}  // namespace

// A failed entry's exception, once raised, holds a traceback whose frames may hold the result: the
// collector must see the result's references to break that cycle.
template <>
struct Collect<Outcome> {
  static int traverse(Outcome& o, visitproc visit, void* arg) {
    if (const int stop = visitObject(o.response, visit, arg)) return stop;
    return visitObject(o.error, visit, arg);
  }
  static void clear(Outcome& o) {
    o.response = py::none();
    o.error = py::none();
  }
};

py::list batch(IsaacSimClient& client, const py::iterable& requests) {
  std::vector<BatchRequest> planned;
  for (const py::handle item : requests) planned.push_back(toRequest(item));
  std::vector<BatchResult> results = released([&] { return client.batch(planned); });
  py::list outcomes;
  for (BatchResult& result : results) {
    Outcome outcome{py::none(), py::none()};
    if (result.ok()) {
      outcome.response = py::cast(Response(std::move(result).response()));
    } else {
      outcome.error = exceptionObject(result.error());
    }
    outcomes.append(py::cast(std::move(outcome)));
  }
  return outcomes;
}

void bindBatch(py::module_& module) {
  py::class_<Outcome>(module, "BatchResult", collectable<Outcome>(),
                      "One entry's outcome: `response` (raising the entry's exception when it has none), `error`.")
      .def_property_readonly(
          "ok", [](const Outcome& o) { return o.error.is_none(); }, "Whether a response came back (any status).")
      .def_property_readonly("response", &responseOf, "The response; raises the entry's exception when it failed.")
      .def_property_readonly(
          "error", [](const Outcome& o) { return o.error; }, "The entry's exception, or None.")
      .def("__repr__", [](const Outcome& o) {
        if (o.error.is_none()) return py::str("<corvane.BatchResult status {}>").format(o.response.attr("status"));
        return py::str("<corvane.BatchResult error {!r}>").format(o.error);
      });
}

}  // namespace corvane::python
