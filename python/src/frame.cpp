// Frames and their outputs. An Output exports its bytes through the buffer protocol, in place: numpy (or a
// memoryview) reads the frame's own bytes, and keeps the Output, and with it the frame's data, alive.
#include "frame.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
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
std::vector<Py_ssize_t> stridesOf(const std::vector<std::size_t>& shape, std::size_t itemSize) {
  constexpr auto kLargest = static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max());
  std::vector<Py_ssize_t> strides(shape.size());
  std::size_t stride = itemSize;
  for (std::size_t i = shape.size(); i-- > 0;) {
    if (shape[i] > kLargest || stride > kLargest) throw py::value_error("camera output shape is too large");
    strides[i] = static_cast<Py_ssize_t>(stride);
    if (shape[i] != 0 && __builtin_mul_overflow(stride, shape[i], &stride)) stride = kLargest + 1;
  }
  return strides;
}

/// What a buffer export hands out besides the bytes: owned by the Py_buffer until it is released.
struct Layout {
  const char* format;
  std::size_t itemSize;
  std::vector<Py_ssize_t> shape;
  std::vector<Py_ssize_t> strides;
};

// The output's layout, after checking that its bytes agree with its dtype and shape (ValueError
// otherwise), so nothing past them can be read; bool bytes must be 0 or 1, the only values numpy's bool holds.
Layout layoutOf(const CameraOutput& output) {
  (void)detail::checkedElementCount(output, output.dtype);  // std::invalid_argument
  const char* format = formatOf(output.dtype);
  if (format == nullptr) throw py::value_error("camera output dtype \"" + output.dtype + "\" has no buffer format");
  if (output.dtype == "bool" &&
      std::any_of(output.data.begin(), output.data.end(), [](std::byte b) { return b > std::byte{1}; })) {
    throw py::value_error("camera output of dtype \"bool\" holds a byte other than 0 and 1");
  }
  std::vector<Py_ssize_t> strides = stridesOf(output.shape, output.itemSize());
  return Layout{format, output.itemSize(), std::vector<Py_ssize_t>(output.shape.begin(), output.shape.end()),
                std::move(strides)};
}

// The buffer protocol, read-only and in place (pybind11's own export cannot report a failure). A consumer
// that does not ask for a shape gets the plain bytes.
void fillView(Py_buffer& view, PyObject* owner, const CameraOutput& output, int flags) {
  auto layout = std::make_unique<Layout>(layoutOf(output));
  const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view.buf = const_cast<std::byte*>(output.data.data());  // exported read-only
  view.len = static_cast<Py_ssize_t>(output.data.size());
  view.readonly = 1;
  view.itemsize = shaped ? static_cast<Py_ssize_t>(layout->itemSize) : 1;
  view.format = !shaped                                  ? nullptr
                : (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(layout->format)
                                                         : nullptr;
  view.ndim = shaped ? static_cast<int>(layout->shape.size()) : 1;
  view.shape = shaped ? layout->shape.data() : nullptr;
  view.strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? layout->strides.data() : nullptr;
  view.suboffsets = nullptr;
  view.internal = layout.release();
  view.obj = owner;
  Py_INCREF(owner);
}

extern "C" int getOutputBuffer(PyObject* self, Py_buffer* view, int flags) {
  view->obj = nullptr;
  try {
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) throw py::buffer_error("camera outputs are read-only");
    fillView(*view, self, *py::handle(self).cast<const Output&>().output, flags);
    return 0;
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const py::builtin_exception& error) {
    error.set_error();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_ValueError, error.what());  // std::invalid_argument from the size check
  }
  return -1;
}

extern "C" void releaseOutputBuffer(PyObject*, Py_buffer* view) { delete static_cast<Layout*>(view->internal); }

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
  auto type =
      py::class_<Output>(module, "Output", py::buffer_protocol(),
                         "One captured array. It supports the buffer protocol with its dtype and shape, read-only and "
                         "without a copy:\nnumpy.asarray(output) shares the frame's bytes and keeps them alive.")
          .def_property_readonly("shape", [](const Output& view) { return shapeOf(*view.output); })
          .def_property_readonly(
              "dtype", [](const Output& view) { return view.output->dtype; },
              "The element type name, e.g. \"float32\".")
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
  // py::buffer_protocol() gave the type its buffer slots; they are filled here instead of by def_buffer.
  auto* heapType = reinterpret_cast<PyHeapTypeObject*>(type.ptr());
  heapType->as_buffer.bf_getbuffer = &getOutputBuffer;
  heapType->as_buffer.bf_releasebuffer = &releaseOutputBuffer;
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
