// Calls into the interpreter that throw vt::PyError on failure.
#pragma once
#include <initializer_list>
#include <utility>

#include "common/error.h"

namespace vt {

using Keywords = std::initializer_list<std::pair<Borrowed, Borrowed>>;

// obj.<name>(*args), by vectorcall.
Ref call_method(Borrowed obj, Borrowed name, std::initializer_list<Borrowed> args = {});
// obj.<name>(*args, **{key: value, ...}), the keywords in the order given.
Ref call_method_kw(Borrowed obj, Borrowed name, std::initializer_list<Borrowed> args,
                   Keywords keywords);
// fn(*args, **{key: value, ...}).
Ref call_kw(Borrowed fn, std::initializer_list<Borrowed> args, Keywords keywords);

// dict[key] = value and list.append(item), throwing on failure; the values
// may be temporaries.
inline void dict_set(PyObject* dict, Borrowed key, Borrowed value) {
  check(PyDict_SetItem(dict, key, value));
}
inline void list_append(PyObject* list, Borrowed item) { check(PyList_Append(list, item)); }

// item in container
inline bool contains(Borrowed container, Borrowed item) {
  return check(PySequence_Contains(container, item));
}

inline bool truth(Borrowed o) { return check(PyObject_IsTrue(o)); }
inline bool compare(Borrowed a, Borrowed b, int op) {
  return check(PyObject_RichCompareBool(a, b, op));
}

// str() of an exception object, or "" when that fails.
Ref exc_text(Borrowed exc);

// Runs a small module-level source in a namespace of its own (with the
// interpreter's builtins and __name__ = module_name) and returns the
// namespace, from which the caller takes what the source defined.
Ref run_source(const char* source, const char* module_name);
// namespace[name], or SystemError when the source did not define it.
Ref defined(Borrowed namespace_, const char* name);

// Calls `flush` (an empty Python function) so that an asynchronous
// exception requested for this thread is delivered now, at a point we
// control, and returns it. The exception being raised, if any, stays.
Ref deliver_pending(PyObject* flush);

}  // namespace vt
