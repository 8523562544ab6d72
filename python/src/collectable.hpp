#pragma once

// Python's garbage collector sees a cycle only through objects that report what they hold. A class whose
// C++ object holds Python objects (callbacks, a result's exception) is set up with collectable<T>(): its
// instances report them (Collect<T>::traverse) and let go of them when the collector breaks a cycle
// (Collect<T>::clear), so an object whose method is a callback of the library it owns can still be freed.
#include <Python.h>

#include "binding.hpp"

namespace corvane::python {

/// What a bound class T reports to the collector: specialised with
///   static int traverse(T&, visitproc, void*);  static void clear(T&);
template <typename T>
struct Collect;

/// The C++ object of a Python instance of a bound class, or null while it has none (not yet constructed).
template <typename T>
T* heldObject(PyObject* self) {
  auto* instance = reinterpret_cast<py::detail::instance*>(self);
  const py::detail::value_and_holder held = instance->get_value_and_holder(py::detail::get_type_info(typeid(T)));
  if (!held || !held.holder_constructed()) return nullptr;
  return held.template value_ptr<T>();
}

/// Visits a Python object that may be null.
inline int visitObject(const py::object& object, visitproc visit, void* arg) {
  Py_VISIT(object.ptr());
  return 0;
}

/// The type setup of a class whose instances hold Python objects (see above).
template <typename T>
py::custom_type_setup collectable() {
  return py::custom_type_setup([](PyHeapTypeObject* heapType) {
    PyTypeObject* type = &heapType->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
      Py_VISIT(Py_TYPE(self));  // instances of heap types hold their type
      T* held = heldObject<T>(self);
      return held == nullptr ? 0 : Collect<T>::traverse(*held, visit, arg);
    };
    type->tp_clear = [](PyObject* self) -> int {
      if (T* held = heldObject<T>(self)) Collect<T>::clear(*held);
      return 0;
    };
    // Out of the collector's sight before the C++ object is destroyed: a collection that its destructor
    // sets off must not visit it half gone (this pybind11 leaves a collected type's instances tracked).
    type->tp_dealloc = [](PyObject* self) {
      PyObject_GC_UnTrack(self);
      py::detail::pybind11_object_dealloc(self);
    };
  });
}

}  // namespace corvane::python
