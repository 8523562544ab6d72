// recorder.step(observation, action=None, *, reward=None, done=None, time=None) for corvane.Recorder and
// RecorderSlot: Python values become the step's arrays with at most one copy each, and none for an output of a
// captured frame.
#include "step.hpp"

#include <corvane/record/recorder.hpp>

#include <cstdint>
#include <memory>
#include <string>

#include "frame.hpp"

namespace corvane::python {
namespace {

using namespace pybind11::literals;

// What a step's arrays need kept alive while it is recorded.
using Keep = std::vector<py::object>;

// An array the recorder owns: numpy copies `array` into it once, whatever its layout and byte order.
StepArray copiedArray(const py::object& array, const py::object& dtype) {
  const py::object numpy = py::module_::import("numpy");
  const auto size = array.attr("nbytes").cast<std::size_t>();
  auto bytes = std::make_shared<std::string>(size, '\0');
  const py::memoryview target = py::memoryview::from_memory(bytes->data(), static_cast<py::ssize_t>(size), false);
  numpy.attr("copyto")(numpy.attr("frombuffer")(target, dtype).attr("reshape")(array.attr("shape")), array);
  StepArray out{array.attr("shape").cast<std::vector<std::size_t>>(), dtype.attr("name").cast<std::string>(),
                reinterpret_cast<const std::byte*>(bytes->data()), size, nullptr};
  out.owner = std::move(bytes);
  return out;
}

StepArray arrayOf(const std::string& key, py::handle value, Keep& keep) {
  if (auto output = sharedOutputOf(value)) return StepArray::of(*output);
  const py::object numpy = py::module_::import("numpy");
  // Numbers and lists of numbers are float64; arrays and numpy scalars keep their element type.
  py::object array = py::reinterpret_borrow<py::object>(value);
  if (py::isinstance(value, numpy.attr("generic"))) {
    array = numpy.attr("asarray")(value);
  } else if (!py::isinstance(value, numpy.attr("ndarray"))) {
    try {
      array = numpy.attr("asarray")(value, "dtype"_a = "float64");
    } catch (const py::error_already_set&) {
      throw py::type_error("recorder.step: \"" + key + "\" is not an array, a number or a list of numbers");
    }
  }
  const py::object dtype = array.attr("dtype");
  if (std::string("biuf").find(dtype.attr("kind").cast<std::string>()) == std::string::npos) {
    throw py::type_error("recorder.step: \"" + key + "\" is not an array of numbers (dtype " +
                         dtype.attr("name").cast<std::string>() + ")");
  }
  const py::object little = dtype.attr("newbyteorder")("<");
  if (!array.attr("flags").attr("c_contiguous").cast<bool>() || !dtype.equal(little)) {
    return copiedArray(array, little);
  }
  keep.push_back(array);  // copied by the recorder during the call
  const auto size = array.attr("nbytes").cast<std::size_t>();
  const auto first = array.attr("ctypes").attr("data").cast<std::uintptr_t>();
  return {array.attr("shape").cast<std::vector<std::size_t>>(), dtype.attr("name").cast<std::string>(),
          reinterpret_cast<const std::byte*>(first), size, nullptr};
}

StepArrays arraysOf(const py::dict& values, Keep& keep) {
  StepArrays out;
  for (const auto& [key, value] : values) {
    if (!py::isinstance<py::str>(key)) throw py::type_error("recorder.step: keys are strings");
    const auto name = key.cast<std::string>();
    out.emplace_back(name, arrayOf(name, value, keep));
  }
  return out;
}

}  // namespace

py::object recordStep(const StepSink& record, const py::object& observation, const py::object& action,
                      std::optional<double> reward, std::optional<bool> done, std::optional<double> time) {
  if (!py::isinstance<py::dict>(observation)) throw py::type_error("recorder.step: the observation is a dict");
  Keep keep;
  StepInput input;
  input.observation = arraysOf(observation.cast<py::dict>(), keep);
  if (py::isinstance<py::dict>(action)) {
    input.action = arraysOf(action.cast<py::dict>(), keep);
  } else if (!action.is_none()) {
    input.action.emplace_back("", arrayOf("action", action, keep));
  }
  input.reward = reward;
  input.done = done;
  input.time = time;
  const std::optional<std::uint64_t> index = released([&] { return record(input); });
  return index ? py::object(py::int_(*index)) : py::none();
}

void bindStep(py::class_<Recorder>& recorder) {
  recorder.def(
      "step",
      [](Recorder& r, const py::object& observation, const py::object& action, std::optional<double> reward,
         std::optional<bool> done, std::optional<double> time) {
        const StepSink sink = [&r](const StepInput& input) { return std::optional<std::uint64_t>(r.step(input)); };
        return recordStep(sink, observation, action, reward, done, time);
      },
      "observation"_a, "action"_a = py::none(), py::kw_only(), "reward"_a = py::none(), "done"_a = py::none(),
      "time"_a = py::none(),
      "Records one step and returns its index (from 0, again after each \"/episode\" start).\n"
      "observation: a dict from a key of your choosing (\"rgb\", \"state\") to a numpy array, a frame\n"
      "output, a list of numbers or a number (lists and numbers as float64). action: the same kinds, or a\n"
      "dict of them. time: the simulation's time in seconds. All of the step's messages share one log\n"
      "time. Each array is copied once at most, an output of a captured frame not at all.");
}

}  // namespace corvane::python
