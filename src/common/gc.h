// The collector's slots of a heap type whose references are plain PyObject*
// members: traverse visits the type and each member, clear drops each, and
// dealloc clears them and frees the object. A type that holds more (a C++
// member to destroy, a finalizer, references it keeps past a clear) writes
// the slot that differs itself and uses the rest.
#pragma once
#include "common/ref.h"

namespace vt {

template <class T, PyObject* T::*... Members>
struct GcSlots {
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    T* o = reinterpret_cast<T*>(self);
    for (PyObject* member : {o->*Members...}) Py_VISIT(member);
    return 0;
  }

  static int clear(PyObject* self) {
    T* o = reinterpret_cast<T*>(self);
    auto drop = [](PyObject*& member) { Py_CLEAR(member); };
    (drop(o->*Members), ...);
    return 0;
  }

  static void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
  }
};

}  // namespace vt
