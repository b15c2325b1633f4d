#include "common/pyutil.h"

#include <string>

namespace vt {

PyObject* intern(const char* s) {
  PyObject* o = PyUnicode_InternFromString(s);
  // Interned names are immortal for our purposes: never released.
  return o;
}

bool bind_args(const char* fname, std::initializer_list<const char*> names,
               int required, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = nullptr;
  if (nargs > n) {
    // Counted with self, as the interpreter does for methods.
    if (required == n) {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes %zd positional argument%s but %zd were given",
                   fname, n + 1, n + 1 == 1 ? "" : "s", nargs + 1);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %d to %zd positional arguments but %zd "
                   "were given",
                   fname, required + 1, n + 1, nargs + 1);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t idx = -1, i = 0;
      for (const char* nm : names) {
        if (PyUnicode_CompareWithASCIIString(key, nm) == 0) {
          idx = i;
          break;
        }
        ++i;
      }
      if (idx < 0) {
        PyErr_Format(PyExc_TypeError,
                     "%s() got an unexpected keyword argument '%U'", fname,
                     key);
        return false;
      }
      if (out[idx]) {
        PyErr_Format(PyExc_TypeError,
                     "%s() got multiple values for argument '%U'", fname, key);
        return false;
      }
      out[idx] = args[nargs + k];
    }
  }
  std::string missing;
  int nmissing = 0;
  {
    Py_ssize_t i = 0;
    for (const char* nm : names) {
      if (i >= required) break;
      if (!out[i]) {
        if (nmissing) missing += ", ";
        missing += "'";
        missing += nm;
        missing += "'";
        ++nmissing;
      }
      ++i;
    }
  }
  if (nmissing) {
    PyErr_Format(PyExc_TypeError,
                 "%s() missing %d required positional argument%s: %s", fname,
                 nmissing, nmissing == 1 ? "" : "s", missing.c_str());
    return false;
  }
  return true;
}

bool no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    PyErr_Format(PyExc_TypeError,
                 "%s() got an unexpected keyword argument '%U'", fname,
                 PyTuple_GET_ITEM(kwnames, 0));
    return false;
  }
  if (nargs > 0) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes 1 positional argument but %zd were given", fname,
                 nargs + 1);
    return false;
  }
  return true;
}

Ref exc_text(PyObject* exc) {
  Ref s = Ref::steal(PyObject_Str(exc));
  if (!s) {
    PyErr_Clear();
    s = Ref::steal(PyUnicode_FromString(""));
  }
  return s;
}

Ref call_method(PyObject* obj, PyObject* name,
                std::initializer_list<PyObject*> args) {
  PyObject* stack[8];
  size_t n = 0;
  stack[n++] = obj;
  for (PyObject* a : args) stack[n++] = a;
  return Ref::steal(PyObject_VectorcallMethod(
      name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

static PyObject* g_flush = nullptr;

bool init_async_flush() {
  if (g_flush) return true;
  Ref globals = Ref::steal(PyDict_New());
  if (!globals) return false;
  if (PyDict_SetItemString(globals.get(), "__builtins__",
                           PyEval_GetBuiltins()) < 0)
    return false;
  Ref r = Ref::steal(PyRun_String("def _deliver():\n    pass\n", Py_file_input,
                                  globals.get(), globals.get()));
  if (!r) return false;
  PyObject* f = PyDict_GetItemString(globals.get(), "_deliver");
  if (!f) return false;
  Py_INCREF(f);  // kept for the life of the process
  g_flush = f;
  return true;
}

Ref deliver_pending_async_exc() {
  // Entering a function checks the interpreter's pending events, which
  // raises an asynchronous exception requested for this thread.
  PyObject* saved = PyErr_GetRaisedException();
  Ref r = Ref::steal(PyObject_CallNoArgs(g_flush));
  Ref delivered;
  if (!r) delivered = Ref::steal(PyErr_GetRaisedException());
  PyErr_SetRaisedException(saved);
  return delivered;
}

}  // namespace vt
