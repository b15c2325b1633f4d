// Owning reference to a Python object: the one place that pairs INCREF/DECREF.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cstddef>

#include <utility>

namespace vt {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (may be null, e.g. after a failed call).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset(PyObject* stolen = nullptr) noexcept { Py_XSETREF(p_, stolen); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace vt
