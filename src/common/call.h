// Calls into the interpreter that throw vt::PyError on failure.
#pragma once
#include <initializer_list>
#include <utility>

#include "common/error.h"

namespace vt {

// obj.<name>(*args), by vectorcall.
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {});
// obj.<name>(*args, **{key: value, ...}), the keywords in the order given.
Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                   std::initializer_list<std::pair<PyObject*, PyObject*>> keywords);
// fn(*args, **{key: value, ...}).
Ref call_kw(PyObject* fn, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<PyObject*, PyObject*>> keywords);

// dict[key] = value and list.append(item), throwing on failure; the values
// may be temporaries.
inline void dict_set(PyObject* dict, Borrowed key, Borrowed value) {
  check(PyDict_SetItem(dict, key, value));
}
inline void list_append(PyObject* list, Borrowed item) { check(PyList_Append(list, item)); }

inline bool truth(PyObject* o) { return check(PyObject_IsTrue(o)); }
inline bool compare(PyObject* a, PyObject* b, int op) {
  return check(PyObject_RichCompareBool(a, b, op));
}

// str() of an exception object, or "" when that fails.
Ref exc_text(PyObject* exc);

// Holds a PyMutex for a scope. Waiting for it detaches the thread state, so
// a holder that needs the GIL can always finish. Nothing that can run Python
// code may happen while it is held.
class MutexGuard {
 public:
  explicit MutexGuard(PyMutex& m) noexcept : m_(m) { PyMutex_Lock(&m_); }
  ~MutexGuard() { PyMutex_Unlock(&m_); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  PyMutex& m_;
};

}  // namespace vt
