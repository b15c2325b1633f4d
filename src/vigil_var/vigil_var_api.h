// What other modules of the family may use of vigil_var directly, through
// the capsule "vigil_var._C_API". Only exact VigilVar instances take these
// fast paths; anything else goes through ordinary attribute access.
//
// Each vigil_var module object (one per interpreter) exports its own table,
// with its own types and names. The table lives in that module's state: it
// stays valid while the module object lives, which its types, and so every
// VigilVar and record, keep alive.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#define VIGIL_VAR_CAPSULE "vigil_var._C_API"
// 3: from_mapping and new_record became VigilVarCall (function + module
// state); they are still called like plain function pointers.
// 4: deferred entries (deferred_type, vigil_var_slot_value).
#define VIGIL_VAR_API_VERSION 4

typedef struct {
  PyObject_HEAD
  PyObject* dict;  // attribute name (or table key) -> value; never null
  PyObject* weakreflist;
} VigilVarObject;

// A task record: the three fields every record has live in slots (small and
// fast); any other entry goes to `extra`. Null slot = entry absent.
typedef struct {
  PyObject_HEAD
  PyObject* thread;
  PyObject* result;
  PyObject* status;
  PyObject* extra;  // dict or null
} VigilRecordObject;

// An entry of a record made when it is first read. A record slot may hold
// an instance of the table's deferred_type (in practice of a subtype another
// module of the family makes from it); any read of the entry (attribute,
// get, keys, items, to_dict, repr) calls its `make` first.
typedef struct VigilDeferredObject {
  PyObject_HEAD
  // Makes the value: a new reference, or null with an exception set.
  // `slot` is the record slot that held this object when the read began;
  // `make` stores the value there, unless something else was stored there
  // meanwhile, which it then returns instead.
  PyObject* (*make)(PyObject* self, PyObject** slot);
} VigilDeferredObject;

// A function of one vigil_var module object, bound to that module's state.
template <class R, class... A>
struct VigilVarCall {
  R (*fn)(void* state, A...);
  void* state;
  R operator()(A... a) const { return fn(state, a...); }
};

struct VigilVarAPI {
  int version;
  PyTypeObject* type;
  // New record whose entries are those of `mapping` (copied); null with an
  // exception set on failure.
  VigilVarCall<PyObject*, PyObject*> from_mapping;
  PyTypeObject* record_type;
  // New record with the three fields (new references are taken).
  VigilVarCall<PyObject*, PyObject*, PyObject*, PyObject*> new_record;
  PyObject* name_thread;  // the interned field names, for pointer tests
  PyObject* name_result;
  PyObject* name_status;
  PyTypeObject* deferred_type;  // the base of deferred entries
};

// The value of a record slot as a read sees it: None for an absent entry,
// a deferred entry made first. A new reference, or null with an exception.
inline PyObject* vigil_var_slot_value(const VigilVarAPI* api, PyObject** slot) {
  PyObject* v = *slot;
  if (!v) return Py_NewRef(Py_None);
  if (api->deferred_type && PyObject_TypeCheck(v, api->deferred_type))
    return reinterpret_cast<VigilDeferredObject*>(v)->make(v, slot);
  return Py_NewRef(v);
}
