// A module object with multi-phase initialisation and a state of its own:
// exec makes a C++ State, visited and cleared through State::traverse and
// State::clear. Each interpreter that imports the module gets its own.
// The state is shared: an object of the module's types that keeps a share
// (shared_of_type) keeps the state alive after the module is freed, as it can
// be in the interpreter's last collections, when a type lets go of its module
// before its last instance is freed.
#pragma once
#include <memory>
#include <utility>

#include "common/error.h"

namespace vt {

template <class State, void (*Exec)(PyObject* module, State& st)>
struct Module {
  using Share = std::shared_ptr<State>;

  static Share*& slot(PyObject* module) { return *static_cast<Share**>(PyModule_GetState(module)); }
  static State* get(PyObject* module) {
    Share* share = slot(module);
    return share ? share->get() : nullptr;
  }
  static State& of(PyObject* module) {
    State* st = get(module);
    if (!st) raise_format(PyExc_SystemError, "the module has no state");
    return *st;
  }
  // The state of the module that defined `type`, or a base of it (a class
  // made in Python from one of ours).
  static State& of_type(PyTypeObject* type) { return *shared_of_type(type); }
  static Share shared_of_type(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &def);
    if (!module) throw PyError{};
    of(module);  // raises when it has none
    return *slot(module);
  }

  static int exec(PyObject* module) {
    return boundary_status([&] {
      slot(module) = new Share(std::make_shared<State>());
      Exec(module, **slot(module));
    });
  }
  static int traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = get(module);
    return st ? st->traverse(visit, arg) : 0;
  }
  static int clear(PyObject* module) {
    if (State* st = get(module)) st->clear();
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
                                   sizeof(Share*),
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
