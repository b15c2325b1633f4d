// threads_main: the module's entry (multi-phase initialisation) and its
// state, the registration of VigilThreadsMain, _Worker and ManagerError,
// and the hook that tells open managers the program has ended.
#include <chrono>
#include <thread>

#include "common/call.h"
#include "common/parking.h"
#include "manager/manager.h"
#include "state/state.h"
#include "task/task.h"
#include "worker/worker.h"

using vt::check;
using vt::Ref;
using vt::take;

namespace vtm {

namespace {

// Entering a Python function checks the thread's pending events, so calling
// this empty one delivers an asynchronous exception requested for the thread.
constexpr const char* kFlushSource = "def _deliver():\n    pass\n";
// The element walk of batch submission is a real generator: lazy, so a
// non-iterable fails only when first advanced.
constexpr const char* kWalkSource =
    "def _thread_list_yield(thread_list):\n"
    "    for thread in thread_list:\n"
    "        yield thread\n";

Ref intern(const char* s) { return take(PyUnicode_InternFromString(s)); }

void init_names(State& st) {
#define VTM_INTERN(n) st.names.n = intern(#n);
  VTM_NAMES(VTM_INTERN)
#undef VTM_INTERN
  st.names.switch_ = intern("switch");  // `switch` is a C++ keyword
  st.status = {intern("待运行"), intern("运行中"), intern("完成"),
               intern("失败"),   intern("停止"),   intern("取消")};
  st.texts = {intern(""),
              intern(">6"),
              intern(">5"),
              intern(".2f"),
              intern("%H:%M:%S"),
              intern("vigil_break"),
              intern("Task does not exist"),
              intern("p99.9"),
              intern("us")};
}

Ref import_attr(const char* module, const char* attr) {
  Ref m = take(PyImport_ImportModule(module));
  return take(PyObject_GetAttrString(m, attr));
}

// Whether the main thread ended with a KeyboardInterrupt nobody handled
// (the interpreter keeps what it printed as sys.last_exc).
bool ended_by_interrupt() {
  PyObject* last = PySys_GetObject("last_exc");  // borrowed
  return last && PyErr_GivenExceptionMatches(last, PyExc_KeyboardInterrupt);
}

// After Ctrl-C a stopped task ends only when its current call returns: one
// in a long sleep or a blocking read holds the program with nothing on
// screen. Waits up to a second for them (without the GIL, and a second
// Ctrl-C still ends the program), then says once what the program waits for.
void tell_what_still_runs(State& st) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
  while (st.calls_running.load() > 0 && Clock::now() < deadline) {
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Py_END_ALLOW_THREADS
    check(PyErr_CheckSignals());
  }
  if (const int left = st.calls_running.load(); left > 0)
    PySys_FormatStderr(
        "threads_main: %d task(s) still running; each ends when its current call returns. "
        "Press Ctrl-C again to end the program now.\n",
        left);
}

// The program's main thread has finished: the interpreter is about to join
// the remaining threads. From now on the managers take no new submission.
// After Ctrl-C the user wants the program to end, not to wait for the
// queue: open managers are closed first.
PyObject* at_shutdown(PyObject* module, PyObject*) {
  return vt::boundary([&] {
    State& st = state_of_module(module);
    if (st.shutting_down.exchange(true)) return Ref::of(Py_None);  // once per program end
    const bool interrupted = ended_by_interrupt();
    if (interrupted) manager::close_all_on_interrupt(st);
    vt::wake_all();
    if (interrupted) tell_what_still_runs(st);
    return Ref::of(Py_None);
  });
}

PyMethodDef shutdown_def = {"_at_shutdown", at_shutdown, METH_NOARGS,
                            "Tell open managers that the program has ended."};

}  // namespace

void exec(PyObject* module, State& st) {
  // The collaborators first: without them the module is not usable.
  st.vigil_log_cls = import_attr("vigil_log", "VigilLog");
  check(PyModule_AddObjectRef(module, "VigilLog", st.vigil_log_cls));
  st.vigil_var_cls = import_attr("vigil_var", "VigilVar");
  check(PyModule_AddObjectRef(module, "VigilVar", st.vigil_var_cls));
  st.vigil_var_module = take(PyImport_ImportModule("vigil_var"));
  st.var_api = static_cast<const VigilVarAPI*>(PyCapsule_Import(VIGIL_VAR_CAPSULE, 0));
  if (!st.var_api) throw vt::PyError{};
  if (st.var_api->version != VIGIL_VAR_API_VERSION)
    vt::raise_format(PyExc_ImportError, "vigil_var has an incompatible version");

  init_names(st);
  st.threading = take(PyImport_ImportModule("threading"));
  st.multiprocessing = take(PyImport_ImportModule("multiprocessing"));
  st.os = take(PyImport_ImportModule("os"));
  st.time = take(PyImport_ImportModule("time"));
  st.queue_empty = import_attr("queue", "Empty");
  Ref pickler = import_attr("multiprocessing.reduction", "ForkingPickler");
  st.pickle_loads = take(PyObject_GetAttrString(pickler, "loads"));
  st.builtin_round = import_attr("builtins", "round");
  st.flush = vt::defined(vt::run_source(kFlushSource, "threads_main"), "_deliver");
  st.walk = vt::defined(vt::run_source(kWalkSource, "threads_main"), "_thread_list_yield");
  st.priv.load();
  Ref qualname = take(PyUnicode_FromString("VigilThreadsMain._thread_list_yield"));
  check(PyObject_SetAttr(st.walk, st.names.__qualname__, qualname));

  st.manager_type = take(PyType_FromModuleAndSpec(module, &manager::blueprint, nullptr));
  vt::install_static_methods(st.manager_type, module, manager::static_methods);
  st.worker_type = take(PyType_FromModuleAndSpec(module, &worker::blueprint, nullptr));
  st.task_type = take(PyType_FromModuleAndSpec(
      module, &task::blueprint, reinterpret_cast<PyObject*>(st.var_api->deferred_type)));
  st.manager_error = take(PyErr_NewExceptionWithDoc(
      "threads_main.ManagerError", "Failure of the manager itself; its text is the message.",
      PyExc_Exception, nullptr));
  check(PyModule_AddObjectRef(module, "VigilThreadsMain", st.manager_type));
  check(PyModule_AddObjectRef(module, "_Worker", st.worker_type));
  check(PyModule_AddObjectRef(module, "ManagerError", st.manager_error));
  check(PyModule_AddFunctions(module, manager::module_functions));
  // The status words under English names, for comparing without literals.
  const std::pair<const char*, PyObject*> words[] = {
      {"PENDING", st.status.pending}, {"RUNNING", st.status.running},
      {"DONE", st.status.done},       {"FAILED", st.status.failed},
      {"STOPPED", st.status.stopped}, {"CANCELLED", st.status.cancelled}};
  for (const auto& [word_name, word] : words) check(PyModule_AddObjectRef(module, word_name, word));

  Ref name = take(PyUnicode_FromString("threads_main"));
  Ref hook = take(PyCFunction_NewEx(&shutdown_def, module, name));
  st.priv.at_main_end(hook);
}

}  // namespace vtm

PyMODINIT_FUNC PyInit_threads_main() {
  return vtm::ThisModule::init("threads_main",
                               "Run one callable many times concurrently, one thread per task, "
                               "at most a configured number at once.");
}
