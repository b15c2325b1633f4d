// threads_main: module entry and registration of VigilThreadsMain, _Worker
// and ManagerError.
#include <utility>
#include <vector>

#include "collab/collab.h"
#include "manager/manager.h"
#include "query/query.h"
#include "stop/stop.h"
#include "submit/batch.h"
#include "submit/submit.h"
#include "threads_main/globals.h"
#include "wait/wait.h"
#include "worker/worker.h"

using vt::Ref;

namespace {

std::vector<PyMethodDef> g_methods;

void collect(PyMethodDef* defs) {
  for (PyMethodDef* d = defs; d->ml_name; ++d) g_methods.push_back(*d);
}

// Runs in the main thread once it has finished, before the interpreter
// joins the remaining threads.
PyObject* at_shutdown(PyObject*, PyObject*) {
  vtm::g.shutting_down.store(true);
  vtm::manager::wake_all();
  Py_RETURN_NONE;
}

PyMethodDef g_shutdown_def = {"_at_shutdown", at_shutdown, METH_NOARGS,
                              "Tell open managers that the program has ended."};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "threads_main",
    "Run one callable many times concurrently, one thread per task, at most "
    "a configured number at once.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr};

bool import_into(PyObject* dict, const char* module, const char* name) {
  Ref m = Ref::steal(PyImport_ImportModule(module));
  if (!m) return false;
  Ref v = Ref::steal(PyObject_GetAttrString(m.get(), name));
  return v && PyDict_SetItemString(dict, name, v.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_threads_main() {
  using namespace vtm;
  Ref m = Ref::steal(PyModule_Create(&module_def));
  if (!m) return nullptr;
  PyObject* dict = PyModule_GetDict(m.get());
  // The collaborators first: without them the module is not usable.
  if (!import_into(dict, "vigil_log", "VigilLog") ||
      !import_into(dict, "vigil_var", "VigilVar"))
    return nullptr;
  if (!init_globals() || !collab::init() || !vt::init_async_flush()) return nullptr;
  g.module_dict = Py_NewRef(dict);

  if (g_methods.empty()) {
    collect(manager::methods);
    collect(submit::methods);
    collect(submit::batch_methods);
    collect(wait::methods);
    collect(query::methods);
    collect(stop::methods);
    g_methods.push_back({nullptr, nullptr, 0, nullptr});
  }
  if (!manager::init_type(m.get(), g_methods.data()) || !worker::init_type(m.get()))
    return nullptr;
  g.manager_error = PyErr_NewExceptionWithDoc(
      "threads_main.ManagerError",
      "Failure of the manager itself; its text is the message.", PyExc_Exception,
      nullptr);
  if (!g.manager_error) return nullptr;
  if (PyModule_AddObjectRef(m.get(), "VigilThreadsMain",
                            reinterpret_cast<PyObject*>(g.manager_type)) < 0 ||
      PyModule_AddObjectRef(m.get(), "_Worker",
                            reinterpret_cast<PyObject*>(g.worker_type)) < 0 ||
      PyModule_AddObjectRef(m.get(), "ManagerError", g.manager_error) < 0)
    return nullptr;
  // The status words under English names, for comparing without literals.
  const std::pair<const char*, PyObject*> words[] = {
      {"PENDING", status.pending}, {"RUNNING", status.running},
      {"DONE", status.done},       {"FAILED", status.failed},
      {"STOPPED", status.stopped}, {"CANCELLED", status.cancelled}};
  for (const auto& [name, word] : words)
    if (PyModule_AddObjectRef(m.get(), name, word) < 0) return nullptr;

  Ref hook = Ref::steal(PyCFunction_New(&g_shutdown_def, nullptr));
  if (!hook) return nullptr;
  Ref reg = Ref::steal(PyObject_GetAttrString(g.threading, "_register_atexit"));
  if (!reg || !Ref::steal(PyObject_CallOneArg(reg.get(), hook.get()))) return nullptr;
  return m.release();
}
