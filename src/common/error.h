// Failures inside the C++ code are C++ exceptions, and one kind only:
// PyError, thrown once the Python exception is set. Each entry point from
// the interpreter is a boundary that lets it through as the raised
// exception. The vocabulary:
//   take, check      a C API result: a failure it signalled becomes PyError
//   raise_format     raise this type with this text (as PyErr_Format)
//   StashedError     clean-up work that must not replace the error in flight
//   quietly          clean-up whose own failure is dropped
//   catching         run, and handle the failures of one exception type
//   boundary         an entry point: a null result or -1 on failure
// Anything else a standard container or allocation throws becomes
// MemoryError or SystemError at the boundary, so nothing escapes into
// CPython.
//
// The one exception that passes every boundary is the forced unwind with
// which CPython ends a daemon thread at exit (pthread_exit): it must run its
// course, so no catch-all here swallows it, and the functions it may pass
// through are not noexcept (it would end in std::terminate there).
#pragma once
#include <cxxabi.h>

#include <cstdarg>
#include <exception>
#include <new>
#include <utility>

#include "common/ref.h"

namespace vt {

struct PyError {};

// A new reference from the C API, or throw when it signalled failure.
inline Ref take(PyObject* p) {
  if (!p) throw PyError{};
  return Ref::steal(p);
}
// A C API status (-1 on failure), or throw.
inline int check(int status) {
  if (status < 0) throw PyError{};
  return status;
}

// Raises `type` with a PyUnicode_FromFormat text, as PyErr_Format does. An
// exception being raised meanwhile becomes its context.
[[noreturn]] inline void raise_format(PyObject* type, const char* format, ...) {
  PyObject* context = PyErr_GetRaisedException();
  va_list va;
  va_start(va, format);
  PyErr_FormatV(type, format, va);
  va_end(va);
  if (context) {
    PyObject* now = PyErr_GetRaisedException();
    PyException_SetContext(now, context);  // steals context
    PyErr_SetRaisedException(now);
  }
  throw PyError{};
}

namespace detail {

// Runs fn; false with the Python exception set when it threw.
template <class F>
bool as_python(F&& fn) {
  try {
    std::forward<F>(fn)();
    return true;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const PyError&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "error reported without an exception");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& x) {
    PyErr_SetString(PyExc_SystemError, x.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return false;
}

}  // namespace detail

// The boundary of an entry point that returns an object: null on failure.
template <class F>
PyObject* boundary(F&& fn) {
  PyObject* out = nullptr;
  detail::as_python([&] { out = std::forward<F>(fn)().release(); });
  return out;
}

// The boundary of an entry point that returns a status: -1 on failure.
template <class F>
int boundary_status(F&& fn) {
  return detail::as_python(std::forward<F>(fn)) ? 0 : -1;
}

// Runs clean-up work whose own failure must not replace anything: a
// failure is dropped.
template <class F>
void quietly(F&& fn) {
  if (!detail::as_python(std::forward<F>(fn))) PyErr_Clear();
}

// The raised exception, taken aside for a scope so that clean-up code can
// call into the interpreter; it is raised again when the scope ends.
class StashedError {
 public:
  StashedError() noexcept : exc_(PyErr_GetRaisedException()) {}
  ~StashedError() {
    if (!exc_ || !attached()) return;
    PyErr_Clear();  // whatever clean-up raised gives way to the original
    PyErr_SetRaisedException(exc_);
  }
  StashedError(const StashedError&) = delete;
  StashedError& operator=(const StashedError&) = delete;

  PyObject* get() const noexcept { return exc_; }
  bool matches(PyObject* type) const noexcept {
    return exc_ && PyErr_GivenExceptionMatches(exc_, type);
  }

 private:
  PyObject* exc_;
};

// Runs fn and catches only failures that are an instance of `type` (an
// Exception, say), handing the raised exception to on_error; any other
// failure goes on.
template <class F, class H>
void catching(PyObject* type, F&& fn, H&& on_error) {
  if (detail::as_python(std::forward<F>(fn))) return;
  if (!PyErr_ExceptionMatches(type)) throw PyError{};
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  std::forward<H>(on_error)(exc);
}

}  // namespace vt
