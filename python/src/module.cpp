// corvane._corvane: the compiled part of the Python package (see corvane/__init__.py).
#include <corvane/version.hpp>

#include "binding.hpp"
#include "python_error.hpp"
#include "recorder_slot.hpp"

PYBIND11_MODULE(_corvane, module) {
  using namespace corvane::python;
  module.doc() = "The compiled part of the corvane package; import corvane instead.";
  module.attr("__version__") = CORVANE_VERSION_STRING;
  noteMainThread();
  bindErrors(module);
  bindJson(module);
  bindResponse(module);
  bindStream(module);
  bindFrame(module);
  bindFamilies(module);
  bindBatch(module);
  bindRetryPolicy(module);
  bindClient(module);
  bindReconnecting(module);
  bindRecording(module);
  bindLive(module);
  bindMedia(module);
  bindVideoFile(module);
  bindRecorderSlot(module);
}
