// A module object with multi-phase initialisation and a state of its own:
// the module keeps a pointer to a C++ State that exec makes and m_free
// deletes, visited and cleared through State::traverse and State::clear.
// Each interpreter that imports the module gets its own.
#pragma once
#include <utility>

#include "common/error.h"

namespace vt {

template <class State, void (*Exec)(PyObject* module, State& st)>
struct Module {
  static State*& slot(PyObject* module) { return *static_cast<State**>(PyModule_GetState(module)); }
  static State& of(PyObject* module) {
    State* st = slot(module);
    if (!st) raise_format(PyExc_SystemError, "the module has no state");
    return *st;
  }
  // The state of the module that defined `type`, or a base of it (a class
  // made in Python from one of ours).
  static State& of_type(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &def);
    if (!module) throw PyError{};
    return of(module);
  }

  static int exec(PyObject* module) {
    return boundary_status([&] { Exec(module, *(slot(module) = new State())); });
  }
  static int traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = slot(module);
    return st ? st->traverse(visit, arg) : 0;
  }
  static int clear(PyObject* module) {
    if (State* st = slot(module)) st->clear();
    return 0;
  }
  static void free(void* module) {
    delete std::exchange(slot(static_cast<PyObject*>(module)), nullptr);
  }

  static inline PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(exec)},
      // Everything a module object keeps is in its own state: each
      // interpreter, with a GIL of its own or not, gets its own.
      {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
      {Py_mod_gil, Py_MOD_GIL_USED},
      {0, nullptr}};
  // Name and docstring are set by the module's PyInit function.
  static inline PyModuleDef def = {PyModuleDef_HEAD_INIT,
                                   nullptr,
                                   nullptr,
                                   sizeof(State*),
                                   nullptr,
                                   slots,
                                   traverse,
                                   clear,
                                   free};

  static PyObject* init(const char* name, const char* doc) {
    def.m_name = name;
    def.m_doc = doc;
    return PyModuleDef_Init(&def);
  }
};

}  // namespace vt
