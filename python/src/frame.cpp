// Frames and their outputs. An Output exports its bytes through the buffer protocol, in place: numpy (or a
// memoryview) reads the reply buffer itself, and keeps the Output, and with it that buffer, alive.
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

/// One output of a frame: a view of the reply that shares its ownership.
struct Output {
  SharedOutput output;
  std::optional<std::string> name;
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
Layout layoutOf(const SharedOutput& output) {
  (void)detail::checkedElementCount(output, output.dtype);  // std::invalid_argument
  const char* format = formatOf(output.dtype);
  if (format == nullptr) throw py::value_error("camera output dtype \"" + output.dtype + "\" has no buffer format");
  const std::byte* first = output.data();
  if (output.dtype == "bool" &&
      std::any_of(first, first + output.nbytes(), [](std::byte b) { return b > std::byte{1}; })) {
    throw py::value_error("camera output of dtype \"bool\" holds a byte other than 0 and 1");
  }
  std::vector<Py_ssize_t> strides = stridesOf(output.shape, output.itemSize());
  return Layout{format, output.itemSize(), std::vector<Py_ssize_t>(output.shape.begin(), output.shape.end()),
                std::move(strides)};
}

// The buffer protocol, read-only and in place (pybind11's own export cannot report a failure). A consumer
// that does not ask for a shape gets the plain bytes.
// numpy takes outputs at any address: a misaligned one becomes an array flagged unaligned, which numpy reads
// correctly (element by element); output.copy() gives an aligned one.
void fillView(Py_buffer& view, PyObject* owner, const SharedOutput& output, int flags) {
  auto layout = std::make_unique<Layout>(layoutOf(output));
  const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view.buf = const_cast<std::byte*>(output.data());  // exported read-only
  view.len = static_cast<Py_ssize_t>(output.nbytes());
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
    fillView(*view, self, py::handle(self).cast<const Output&>().output, flags);
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

py::tuple shapeOf(const SharedOutput& output) {
  py::tuple shape(output.shape.size());
  for (std::size_t i = 0; i < output.shape.size(); ++i) shape[i] = py::int_(output.shape[i]);
  return shape;
}

// The index of `output` among the frame's outputs.
std::size_t indexOf(const SharedFrame& frame, const SharedOutput* output) {
  return static_cast<std::size_t>(output - frame.outputs().data());
}

// The frame's output names: the top-level members of the structure that name an output (in key order).
// A member whose "__ndarray__" is not a number names none here (looking it up raises).
const std::vector<std::string>& namesOf(Frame& frame) {
  if (frame.names) return *frame.names;
  std::vector<std::string> names;
  std::vector<std::optional<std::string>> nameOf(frame.frame.outputs().size());
  const nlohmann::json& structure = frame.frame.structure();
  if (structure.is_object()) {
    for (const auto& member : structure.items()) {
      const SharedOutput* output = nullptr;
      try {
        output = frame.frame.output(member.key());
      } catch (const nlohmann::json::exception&) {
        continue;
      }
      if (output == nullptr) continue;
      names.push_back(member.key());
      std::optional<std::string>& name = nameOf[indexOf(frame.frame, output)];
      if (!name) name = member.key();
    }
  }
  frame.nameOf = std::move(nameOf);
  return *(frame.names = std::move(names));
}

Output outputAt(Frame& frame, std::size_t index) {
  namesOf(frame);
  return Output{frame.frame.outputs()[index], (*frame.nameOf)[index]};
}

py::object outputNamed(Frame& frame, std::string_view name) {
  const SharedOutput* output = frame.frame.output(name);
  if (output == nullptr) return py::none();
  return py::cast(outputAt(frame, indexOf(frame.frame, output)));
}

py::object asArray(py::handle output) { return py::module_::import("numpy").attr("asarray")(output); }

void bindOutput(py::module_& module) {
  using namespace pybind11::literals;
  auto type =
      py::class_<Output>(
          module, "Output", py::buffer_protocol(),
          "One captured array, a view of its frame's reply buffer. It supports the buffer protocol with its dtype\n"
          "and shape, read-only and without a copy: numpy.asarray(output) reads the reply buffer itself and keeps\n"
          "it alive, so one array kept keeps its whole reply (all outputs); output.copy() keeps only its own\n"
          "bytes. An output at an address not aligned for its dtype gives an array flagged unaligned, which\n"
          "numpy reads correctly; copy() gives an aligned one.")
          .def_property_readonly(
              "shape", [](const Output& view) { return shapeOf(view.output); }, "The dimensions, a tuple of ints.")
          .def_property_readonly(
              "dtype", [](const Output& view) { return view.output.dtype; }, "The element type name, e.g. \"float32\".")
          .def_property_readonly(
              "nbytes", [](const Output& view) { return view.output.nbytes(); }, "The number of bytes it holds.")
          .def_property_readonly(
              "name", [](const Output& view) { return view.name; },
              "The name the frame's structure gives it (its first top-level member naming it), or None.")
          .def(
              "tobytes",
              [](const Output& view) {
                return py::bytes(reinterpret_cast<const char*>(view.output.data()), view.output.nbytes());
              },
              "A copy of its bytes, as bytes.")
          .def(
              "copy",
              [](py::object self) {
                return py::module_::import("numpy").attr("array")(py::memoryview(self), "copy"_a = true);
              },
              "An owning numpy array of its own (aligned, writable), which keeps nothing of the reply alive.\n"
              "Raises ValueError when its bytes do not match its dtype and shape.")
          // numpy reads the buffer first and falls back to __array__ when that fails: raising here keeps a
          // mismatched output from turning silently into an array of objects.
          .def(
              "__array__",
              [](py::object self, py::args args) {
                return py::module_::import("numpy").attr("asarray")(py::memoryview(self), *args);
              },
              "numpy.asarray(output): a read-only array on the reply buffer itself.")
          .def("__repr__", [](const Output& view) {
            return "<corvane.Output " + view.output.dtype + " " + std::string(py::repr(shapeOf(view.output))) + ">";
          });
  // py::buffer_protocol() gave the type its buffer slots; they are filled here instead of by def_buffer.
  auto* heapType = reinterpret_cast<PyHeapTypeObject*>(type.ptr());
  heapType->as_buffer.bf_getbuffer = &getOutputBuffer;
  heapType->as_buffer.bf_releasebuffer = &releaseOutputBuffer;
}

void bindMapping(py::class_<Frame>& frame) {
  using namespace pybind11::literals;
  const py::module_ abc = py::module_::import("collections.abc");
  frame
      .def(
          "__getitem__",
          [](Frame& self, std::string_view name) {
            py::object output = outputNamed(self, name);
            if (output.is_none()) throw py::key_error(std::string(name));
            return asArray(output);
          },
          "name"_a, "The named output as a numpy array on the reply buffer (no copy); KeyError when absent.")
      .def(
          "__iter__", [](Frame& self) { return py::iter(py::cast(namesOf(self))); }, "Iterates over the output names.")
      .def(
          "__len__", [](Frame& self) { return namesOf(self).size(); }, "The number of named outputs.")
      .def(
          "__contains__",
          [](Frame& self, const py::object& name) {
            if (!py::isinstance<py::str>(name)) return false;
            const auto& names = namesOf(self);
            return std::find(names.begin(), names.end(), name.cast<std::string>()) != names.end();
          },
          "name"_a, "Whether an output has that name.")
      .def(
          "keys", [abc](py::object self) { return abc.attr("KeysView")(self); }, "The output names.")
      .def(
          "values", [abc](py::object self) { return abc.attr("ValuesView")(self); },
          "The named outputs as numpy arrays (no copies), in the order of keys().")
      .def(
          "items", [abc](py::object self) { return abc.attr("ItemsView")(self); },
          "(name, numpy array) pairs, in the order of keys().")
      .def(
          "get",
          [](Frame& self, std::string_view name, py::object fallback) {
            py::object output = outputNamed(self, name);
            return output.is_none() ? fallback : asArray(output);
          },
          "name"_a, "default"_a = py::none(), "frame[name], or `default` when no output has that name.");
  abc.attr("Mapping").attr("register")(frame);
}

}  // namespace

std::optional<SharedOutput> sharedOutputOf(py::handle value) {
  // An Output, or an array (memoryview) whose base chain ends at one and views all of its bytes.
  const void* first = nullptr;
  std::size_t size = 0;
  const py::object ndarray = py::module_::import("numpy").attr("ndarray");
  if (py::isinstance(value, ndarray)) {  // its bytes must be the output's
    if (!value.attr("flags").attr("c_contiguous").cast<bool>()) return std::nullopt;
    first = reinterpret_cast<const void*>(value.attr("ctypes").attr("data").cast<std::uintptr_t>());
    size = value.attr("nbytes").cast<std::size_t>();
  }
  py::object at = py::reinterpret_borrow<py::object>(value);
  while (at && !at.is_none()) {
    if (py::isinstance<Output>(at)) {
      const SharedOutput& output = at.cast<const Output&>().output;
      if (at.ptr() != value.ptr() && (first != output.data() || size != output.nbytes())) return std::nullopt;
      return output;
    }
    if (PyMemoryView_Check(at.ptr())) {
      at = py::reinterpret_borrow<py::object>(PyMemoryView_GET_BUFFER(at.ptr())->obj);
    } else if (py::isinstance(at, ndarray)) {
      at = at.attr("base");
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

void bindFrame(py::module_& module) {
  using namespace pybind11::literals;
  bindOutput(module);
  py::class_<Frame> frame(
      module, "Frame",
      "A capture: its result tree and its arrays, all views of one reply buffer read once from the network.\n"
      "A read-only mapping of output name to numpy array (frame[\"rgb\"], \"rgb\" in frame, dict(frame)); the\n"
      "buffer lives while the frame or any output or array taken from it does.");
  frame
      .def_property_readonly(
          "structure",
          [](Frame& self) {
            if (!self.structure) self.structure = toPython(self.frame.structure());
            return self.structure;
          },
          "The capture's result tree; each array appears in it as an object whose \"__ndarray__\" is its index.")
      .def_property_readonly(
          "outputs",
          [](Frame& self) {
            py::list outputs;
            for (std::size_t i = 0; i < self.frame.outputs().size(); ++i) outputs.append(outputAt(self, i));
            return outputs;
          },
          "The arrays as Output objects, in manifest order (named or not).")
      .def_property_readonly(
          "buffer",
          [](const Frame& self) {
            const std::size_t size = self.frame.replySize();
            py::object whole = py::cast(Output{SharedOutput({size}, "uint8", self.frame.reply(), size), {}});
            return py::memoryview(whole);
          },
          "The whole reply (header, manifest, payload) as a read-only memoryview: the bytes every output views.")
      .def("output", &outputNamed, "name"_a,
           "The output the top-level member `name` of the structure refers to, or None.")
      .def("__repr__", [](const Frame& self) {
        return "<corvane.Frame with " + std::to_string(self.frame.outputs().size()) + " outputs>";
      });
  bindMapping(frame);
}

}  // namespace corvane::python
