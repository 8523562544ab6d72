// The step cursor behind corvane.recording's steps(): each step as a tuple whose arrays are
// (key, dtype, shape, bytes in place); corvane.recording turns them into numpy arrays.
#include <corvane/record/recording_reader.hpp>

#include "json_convert.hpp"
#include "recording.hpp"

namespace corvane::python {
namespace {

struct Steps {
  std::shared_ptr<RecordingReader> reader;
  StepCursor cursor;
};

py::list arraysOf(RecordedArrays& arrays) {
  py::list out;
  for (auto& [key, array] : arrays) {
    py::tuple shape(array.shape.size());
    for (std::size_t i = 0; i < array.shape.size(); ++i) shape[i] = py::int_(array.shape[i]);
    out.append(py::make_tuple(key, array.dtype, shape, MessageBytes{std::move(array.storage), array.data}));
  }
  return out;
}

// The value, or None.
template <typename T>
py::object optionalOf(const std::optional<T>& value) {
  return value ? py::cast(*value) : py::none();
}

py::object nextStep(Steps& s) {
  auto step = released([&] { return s.cursor.next(); });
  if (!step) throw py::stop_iteration();
  return py::make_tuple(step->episode, step->index, step->logTime, optionalOf(step->time), optionalOf(step->reward),
                        optionalOf(step->done), arraysOf(step->observation), arraysOf(step->action));
}

py::list episodesOf(const Steps& s) {
  py::list out;
  for (const auto& episode : s.cursor.episodes()) out.append(toPython(episode.attributes));
  return out;
}

}  // namespace

py::object stepsOf(std::shared_ptr<RecordingReader> reader) {
  StepCursor cursor = reader->steps();
  return py::cast(Steps{std::move(reader), std::move(cursor)});
}

void bindSteps(py::module_& module) {
  py::class_<Steps>(module, "_StepCursor")
      .def("__iter__", [](Steps& s) -> Steps& { return s; })
      .def("__next__", &nextStep)
      .def_property_readonly("episodes", &episodesOf)
      .def_property_readonly("incomplete", [](const Steps& s) { return s.cursor.incomplete(); });
}

}  // namespace corvane::python
