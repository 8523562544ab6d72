#pragma once

// What the binding's parts share: their registration functions and the helper that runs C++ calls
// without the GIL.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <utility>

namespace corvane::python {

namespace py = pybind11;

void bindErrors(py::module_& module);
void bindJson(py::module_& module);
void bindResponse(py::module_& module);
void bindStream(py::module_& module);
void bindFrame(py::module_& module);
void bindFamilies(py::module_& module);
void bindClient(py::module_& module);

/// Runs `call` with the GIL released, so other Python threads go on during network waits and retry pauses.
/// `call` must touch no Python object; what it returns is converted after the GIL is back.
template <typename Call>
decltype(auto) released(Call&& call) {
  py::gil_scoped_release release;
  return std::forward<Call>(call)();
}

}  // namespace corvane::python
