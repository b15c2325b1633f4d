// What other modules of the family may use of vigil_var directly, through
// the capsule "vigil_var._C_API". Only exact VigilVar instances take these
// fast paths; anything else goes through ordinary attribute access.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cstddef>

#define VIGIL_VAR_CAPSULE "vigil_var._C_API"
#define VIGIL_VAR_API_VERSION 2

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

typedef struct {
  int version;
  PyTypeObject* type;
  // New holder whose attributes are the entries of `mapping` (copied).
  PyObject* (*from_mapping)(PyObject* mapping);
  PyTypeObject* record_type;
  // New record with the three fields (new references are taken).
  PyObject* (*new_record)(PyObject* thread, PyObject* result, PyObject* status);
  PyObject* name_thread;  // the interned field names, for pointer tests
  PyObject* name_result;
  PyObject* name_status;
} VigilVarAPI;
