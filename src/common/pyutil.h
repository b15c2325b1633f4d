// Small helpers over the C API shared by the three modules.
#pragma once
#include <initializer_list>

#include "common/ref.h"

// A fast-call method entry of a method table (flags: extra METH_* bits).
#define VT_METHOD(name, fn, flags, doc)                                        \
  {name, reinterpret_cast<PyCFunction>(fn), METH_FASTCALL | METH_KEYWORDS | (flags), \
   doc}

namespace vt {

// Holds a PyMutex for a scope. Waiting for it detaches the thread state,
// so a holder that needs the GIL can always finish.
class MutexGuard {
 public:
  explicit MutexGuard(PyMutex* m) : m_(m) { PyMutex_Lock(m_); }
  ~MutexGuard() { PyMutex_Unlock(m_); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  PyMutex* m_;
};

// Interned string for an attribute or keyword name; created once, kept for
// the life of the process.
PyObject* intern(const char* s);

// Python-style argument binding for fast-call methods with a fixed list of
// parameters (all positional-or-keyword). `out` receives borrowed pointers;
// parameters not given stay null. On error sets TypeError with the same
// wording the interpreter uses for a Python function and returns false.
bool bind_args(const char* fname, std::initializer_list<const char*> names,
               int required, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out);

// Rejects any argument at all (for methods taking only self).
bool no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames);

// str() of an exception object, or "" if even that fails.
Ref exc_text(PyObject* exc);

// Calls a method by interned name with the given arguments (vectorcall).
Ref call_method(PyObject* obj, PyObject* name,
                std::initializer_list<PyObject*> args = {});

// Truth value; -1 with an exception set on failure.
inline int truth(PyObject* o) { return PyObject_IsTrue(o); }

// Runs a tiny piece of interpreter code on the current thread so that an
// asynchronous exception requested for it is delivered now, at a point we
// control, instead of later inside the threading library's own code.
// Returns the delivered exception (new reference) or null.
Ref deliver_pending_async_exc();

// Builds the no-op function used above; call once at module start.
bool init_async_flush();

}  // namespace vt
