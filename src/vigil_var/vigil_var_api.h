// What other modules of the family may use of vigil_var directly, through
// the capsule "vigil_var._C_API". Only exact VigilVar instances take these
// fast paths; anything else goes through ordinary attribute access.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cstddef>

#define VIGIL_VAR_CAPSULE "vigil_var._C_API"
#define VIGIL_VAR_API_VERSION 1

typedef struct {
  PyObject_HEAD
  PyObject* dict;  // attribute name (or table key) -> value; never null
  PyObject* weakreflist;
} VigilVarObject;

typedef struct {
  int version;
  PyTypeObject* type;
  // New holder whose attributes are the entries of `mapping` (copied).
  PyObject* (*from_mapping)(PyObject* mapping);
} VigilVarAPI;
