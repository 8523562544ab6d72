// Frames and their outputs. An Output exports its bytes through the buffer protocol, in place: numpy (or a
// memoryview) reads the frame's own bytes, and keeps the Output, and with it the frame's data, alive.
#include "frame.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "json_convert.hpp"

namespace corvane::python {
namespace {

/// One output of a frame; holding the frame's data keeps `output` valid.
struct Output {
  std::shared_ptr<const CameraFrame> frame;
  const CameraOutput* output;
};

// The buffer protocol's format character of each dtype name; the item sizes are CameraOutput::itemSize()'s.
const char* formatOf(const std::string& dtype) {
  static constexpr std::pair<std::string_view, const char*> kFormats[] = {
      {"bool", "?"},  {"int8", "b"},   {"uint8", "B"}, {"int16", "h"},  {"uint16", "H"},  {"float16", "e"},
      {"int32", "i"}, {"uint32", "I"}, {"int64", "q"}, {"uint64", "Q"}, {"float32", "f"}, {"float64", "d"},
  };
  for (const auto& [name, format] : kFormats) {
    if (name == dtype) return format;
  }
  return nullptr;
}

// Row-major strides of `shape`, or a ValueError when a dimension or stride does not fit a Py_ssize_t.
std::vector<py::ssize_t> stridesOf(const std::vector<std::size_t>& shape, std::size_t itemSize) {
  constexpr auto kLargest = static_cast<std::size_t>(std::numeric_limits<py::ssize_t>::max());
  std::vector<py::ssize_t> strides(shape.size());
  std::size_t stride = itemSize;
  for (std::size_t i = shape.size(); i-- > 0;) {
    if (shape[i] > kLargest || stride > kLargest) throw py::value_error("camera output shape is too large");
    strides[i] = static_cast<py::ssize_t>(stride);
    if (shape[i] != 0 && __builtin_mul_overflow(stride, shape[i], &stride)) stride = kLargest + 1;
  }
  return strides;
}

// The output's bytes as its dtype and shape, after checking that they agree (ValueError otherwise), so
// nothing past its bytes can be read; bool bytes must be 0 or 1, the only values numpy's bool holds.
py::buffer_info bufferOf(const Output& view) {
  const CameraOutput& output = *view.output;
  (void)detail::checkedElementCount(output, output.dtype);  // std::invalid_argument: ValueError
  const char* format = formatOf(output.dtype);
  if (format == nullptr) throw py::value_error("camera output dtype \"" + output.dtype + "\" has no buffer format");
  if (output.dtype == "bool" &&
      std::any_of(output.data.begin(), output.data.end(), [](std::byte b) { return b > std::byte{1}; })) {
    throw py::value_error("camera output of dtype \"bool\" holds a byte other than 0 and 1");
  }
  std::vector<py::ssize_t> strides = stridesOf(output.shape, output.itemSize());
  std::vector<py::ssize_t> shape(output.shape.begin(), output.shape.end());
  const auto dimensions = static_cast<py::ssize_t>(shape.size());
  // const_cast: the buffer is exported read-only; numpy arrays made from it are not writeable.
  void* bytes = const_cast<std::byte*>(output.data.data());
  return py::buffer_info(bytes, static_cast<py::ssize_t>(output.itemSize()), format, dimensions, std::move(shape),
                         std::move(strides), /*readonly=*/true);
}

py::tuple shapeOf(const CameraOutput& output) {
  py::tuple shape(output.shape.size());
  for (std::size_t i = 0; i < output.shape.size(); ++i) shape[i] = py::int_(output.shape[i]);
  return shape;
}

py::object outputNamed(const Frame& frame, std::string_view name) {
  const CameraOutput* output = frame.frame->output(name);
  if (output == nullptr) return py::none();
  return py::cast(Output{frame.frame, output});
}

void bindOutput(py::module_& module) {
  py::class_<Output>(module, "Output", py::buffer_protocol(),
                     "One captured array. It supports the buffer protocol with its dtype and shape, read-only and "
                     "without a copy:\nnumpy.asarray(output) shares the frame's bytes and keeps them alive.")
      .def_buffer(&bufferOf)
      .def_property_readonly("shape", [](const Output& view) { return shapeOf(*view.output); })
      .def_property_readonly(
          "dtype", [](const Output& view) { return view.output->dtype; }, "The element type name, e.g. \"float32\".")
      .def_property_readonly(
          "nbytes", [](const Output& view) { return view.output->data.size(); }, "The number of bytes it holds.")
      .def(
          "tobytes",
          [](const Output& view) {
            return py::bytes(reinterpret_cast<const char*>(view.output->data.data()), view.output->data.size());
          },
          "A copy of its bytes.")
      // numpy reads the buffer first and falls back to __array__ when that fails: raising here keeps a
      // mismatched output from turning silently into an array of objects.
      .def("__array__",
           [](py::object self, py::args args) {
             return py::module_::import("numpy").attr("asarray")(py::memoryview(self), *args);
           })
      .def("__repr__", [](const Output& view) {
        return "<corvane.Output " + view.output->dtype + " " + std::string(py::repr(shapeOf(*view.output))) + ">";
      });
}

}  // namespace

void bindFrame(py::module_& module) {
  using namespace pybind11::literals;
  bindOutput(module);
  py::class_<Frame>(module, "Frame", "A decoded capture: its result tree and its arrays.")
      .def_property_readonly(
          "structure",
          [](Frame& frame) {
            if (!frame.structure) frame.structure = toPython(frame.frame->structure);
            return frame.structure;
          },
          "The capture's result tree; each array appears in it as an object whose \"__ndarray__\" is its index.")
      .def_property_readonly(
          "outputs",
          [](const Frame& frame) {
            py::list outputs;
            for (const CameraOutput& output : frame.frame->outputs) outputs.append(Output{frame.frame, &output});
            return outputs;
          },
          "The arrays, in manifest order.")
      .def("output", &outputNamed, "name"_a,
           "The output the top-level member `name` of the structure refers to, or None.")
      .def(
          "__getitem__",
          [](const Frame& frame, std::string_view name) {
            py::object output = outputNamed(frame, name);
            if (output.is_none()) throw py::key_error(std::string(name));
            return py::module_::import("numpy").attr("asarray")(output);
          },
          "name"_a, "numpy.asarray(frame.output(name)): the named array, without a copy (KeyError when absent).")
      .def("__repr__", [](const Frame& frame) {
        return "<corvane.Frame with " + std::to_string(frame.frame->outputs.size()) + " outputs>";
      });
}

}  // namespace corvane::python
