#pragma once

#include <corvane/client.hpp>

#include "binding.hpp"

namespace corvane::python {

/// client.batch(requests): the requests ((method, path) or (method, path, body) each) performed together,
/// with the GIL released; a list of corvane.BatchResult in their order.
py::list batch(IsaacSimClient& client, const py::iterable& requests);

}  // namespace corvane::python
