// Ownership of Python objects as two types.
//   Ref owns one strong reference and drops it when it dies; hand it to the
//   interpreter with release(). Borrowed owns nothing: it is valid only while
//   someone else holds a reference, and is never stored beyond the call.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace vt {

// Whether this thread holds the interpreter. A daemon thread that CPython
// ends at exit is unwound (pthread_exit) from where it waited for the GIL,
// without it: what runs during that unwind must not touch Python objects.
inline bool attached() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

class Borrowed;

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (null stays null).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to an object someone else holds.
  static Ref of(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  // The old object is dropped last, after this Ref already holds the new one,
  // so a __del__ it runs sees a consistent holder.
  // Unwound without the interpreter (see attached()), the reference is left
  // behind: the process is ending.
  ~Ref() {
    if (p_ && attached()) Py_DECREF(p_);
  }

  PyObject* get() const noexcept { return p_; }
  // A raw pointer only from a Ref that outlives the expression: a temporary
  // Ref would drop its object before the callee used it.
  operator PyObject*() const& noexcept { return p_; }
  operator PyObject*() && = delete;
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // (Both forms, so a test of a temporary is not taken for a pointer use.)
  explicit operator bool() const& noexcept { return p_ != nullptr; }
  explicit operator bool() && noexcept { return p_ != nullptr; }
  // Null at once; the old object is dropped as by the destructor.
  void reset() noexcept { Ref dropped(std::move(*this)); }
  bool is(PyObject* o) const noexcept { return p_ == o; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

class Borrowed {
 public:
  Borrowed() noexcept = default;
  Borrowed(PyObject* p) noexcept : p_(p) {}
  // Also from a temporary Ref: it lives until the end of the call it is
  // passed to.
  Borrowed(const Ref& r) noexcept : p_(r.get()) {}

  PyObject* get() const noexcept { return p_; }
  operator PyObject*() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(PyObject* o) const noexcept { return p_ == o; }
  // A strong reference of our own, for keeping the object past the view.
  Ref own() const noexcept { return Ref::of(p_); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace vt
