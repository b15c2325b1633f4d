// Failures inside the C++ code are C++ exceptions; each entry point from the
// interpreter turns them into the raised Python exception exactly once.
//   PyError  a Python exception is already set (the C API said so).
//   Raise    an error of our own: the exception type and its text.
// Anything else a standard container or allocation throws becomes
// MemoryError or SystemError there too, so nothing escapes into CPython.
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
#include <string>
#include <utility>

#include "common/ref.h"

namespace vt {

struct PyError {};

struct Raise {
  PyObject* type;  // borrowed: a module-owned or built-in exception class
  std::string text;
};

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
[[noreturn]] inline void fail() { throw PyError{}; }

// Raises `type` with a PyUnicode_FromFormat text, as PyErr_Format does.
[[noreturn]] inline void raise_format(PyObject* type, const char* format, ...) {
  va_list va;
  va_start(va, format);
  PyErr_FormatV(type, format, va);
  va_end(va);
  throw PyError{};
}

// Sets `type` with `value` (its message) as the raised exception; the
// exception that was being raised meanwhile, if any, becomes its context.
inline void set_raise_object(PyObject* type, PyObject* value) noexcept {
  PyObject* context = PyErr_GetRaisedException();
  PyErr_SetObject(type, value);
  if (context) {
    PyObject* now = PyErr_GetRaisedException();
    PyException_SetContext(now, context);  // steals context
    PyErr_SetRaisedException(now);
  }
}

inline void set_raise(PyObject* type, const char* text) noexcept {
  PyObject* value = PyUnicode_FromString(text);
  if (!value) return;  // MemoryError is raised instead
  set_raise_object(type, value);
  Py_DECREF(value);
}

// Raises `exc` again as the context of a new `type` with message `value`.
[[noreturn]] inline void raise_from_context(PyObject* exc, PyObject* type, PyObject* value) {
  PyErr_SetRaisedException(Py_NewRef(exc));
  set_raise_object(type, value);
  throw PyError{};
}

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
  } catch (const Raise& r) {
    set_raise(r.type, r.text.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& x) {
    PyErr_SetString(PyExc_SystemError, x.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return false;
}

// Runs clean-up work whose own failure must not replace anything: a
// failure is dropped.
template <class F>
void quietly(F&& fn) {
  if (!as_python(std::forward<F>(fn))) PyErr_Clear();
}

// The boundary of an entry point that returns an object: null on failure.
template <class F>
PyObject* boundary(F&& fn) {
  PyObject* out = nullptr;
  as_python([&] { out = std::forward<F>(fn)().release(); });
  return out;
}

// The boundary of an entry point that returns a status: -1 on failure.
template <class F>
int boundary_status(F&& fn) {
  return as_python(std::forward<F>(fn)) ? 0 : -1;
}

// The raised exception, taken aside for a scope so that clean-up code can
// call into the interpreter; it is raised again when the scope ends, unless
// it was taken for good with take().
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
  explicit operator bool() const noexcept { return exc_ != nullptr; }
  bool matches(PyObject* type) const noexcept {
    return exc_ && PyErr_GivenExceptionMatches(exc_, type);
  }
  Ref take() noexcept { return Ref::steal(std::exchange(exc_, nullptr)); }

 private:
  PyObject* exc_;
};

// Runs fn and catches only failures that are an instance of `type` (an
// Exception, say), handing the raised exception to on_error; any other
// failure goes on.
template <class F, class H>
void catching(PyObject* type, F&& fn, H&& on_error) {
  if (as_python(std::forward<F>(fn))) return;
  if (!PyErr_ExceptionMatches(type)) fail();
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  std::forward<H>(on_error)(exc);
}

}  // namespace vt
