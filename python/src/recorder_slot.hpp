#pragma once

// corvane.RecorderSlot, for Client(..., recorder=...): see recorder_slot.cpp.
#include <memory>

#include "binding.hpp"

namespace corvane::python {

void bindRecorderSlot(py::module_& module);

/// The observer of a corvane.RecorderSlot; null when `slot` is not one.
std::shared_ptr<ClientObserver> slotObserverOf(const py::object& slot);

}  // namespace corvane::python
