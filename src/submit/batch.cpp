#include "submit/batch.h"

#include "collab/collab.h"
#include "manager/manager.h"
#include "threads_main/globals.h"

using vt::Ref;

namespace vtm::submit {

namespace {

// A repeated pass starts only while fewer names than this wait in the queue.
constexpr long kQueueBound = 1000;
// Pause of a repeating loop that has nothing to submit, instead of spinning.
constexpr double kIdlePause = 0.01;

// The element walk is a real generator: lazy, so a non-iterable fails only
// when first advanced, and it behaves like any other generator to callers.
constexpr const char* kWalkSource =
    "def _thread_list_yield(thread_list):\n"
    "    for thread in thread_list:\n"
    "        yield thread\n";

PyObject* g_walk = nullptr;  // built on first use (under the GIL), kept for good

PyObject* walk_function() {
  if (g_walk) return g_walk;
  Ref code = Ref::steal(Py_CompileString(kWalkSource, "<threads_main>", Py_file_input));
  if (!code) return nullptr;
  // The interpreter's own builtins, not those of whichever frame calls first.
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  Ref globals = Ref::steal(PyDict_New());
  Ref module_name = Ref::steal(PyUnicode_FromString("threads_main"));
  if (!builtins || !globals || !module_name ||
      PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0 ||
      PyDict_SetItemString(globals.get(), "__name__", module_name.get()) < 0)
    return nullptr;
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!done) return nullptr;
  PyObject* f = PyDict_GetItemString(globals.get(), "_thread_list_yield");
  if (!f) {
    PyErr_SetString(PyExc_RuntimeError, "element walk not defined");
    return nullptr;
  }
  Ref qual = Ref::steal(PyUnicode_FromString("VigilThreadsMain._thread_list_yield"));
  if (!qual || PyObject_SetAttrString(f, "__qualname__", qual.get()) < 0) return nullptr;
  // Running the definition may let another thread in that built it too.
  if (!g_walk) g_walk = Py_NewRef(f);
  return g_walk;
}

// "<module>.<qualname>()" of a callable, as the interpreter names it in
// its own argument errors.
Ref callable_text(PyObject* f) {
  Ref qual = Ref::steal(PyObject_GetAttr(f, vt::intern("__qualname__")));
  if (!qual || !PyUnicode_Check(qual.get())) {
    PyErr_Clear();
    return Ref::steal(PyObject_Str(f));
  }
  Ref mod = Ref::steal(PyObject_GetAttr(f, vt::intern("__module__")));
  if (!mod) PyErr_Clear();
  if (mod && PyUnicode_Check(mod.get()) &&
      PyUnicode_CompareWithASCIIString(mod.get(), "builtins") != 0)
    return Ref::steal(PyUnicode_FromFormat("%U.%U()", mod.get(), qual.get()));
  return Ref::steal(PyUnicode_FromFormat("%U()", qual.get()));
}

// self._send(**element), the element turned into a fresh dict first.
bool submit_one(PyObject* self, PyObject* element) {
  Ref send = Ref::steal(PyObject_GetAttr(self, names._send));
  if (!send) return false;
  if (element == Py_None) {
    Ref fname = callable_text(send.get());
    if (fname)
      PyErr_Format(PyExc_TypeError,
                   "%U argument after ** must be a mapping, not NoneType",
                   fname.get());
    return false;
  }
  Ref kwargs = Ref::steal(
      PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), element));
  if (!kwargs) return false;
  Ref empty = Ref::steal(PyTuple_New(0));
  if (!empty) return false;
  return Ref::steal(PyObject_Call(send.get(), empty.get(), kwargs.get())).operator bool();
}

// One pass over the caller's container, through self._thread_list_yield.
// The first failing element ends the pass; those before it stay submitted.
bool one_pass(PyObject* self, PyObject* thread_list) {
  Ref gen = vt::call_method(self, vt::intern("_thread_list_yield"), {thread_list});
  if (!gen) return false;
  Ref it = Ref::steal(PyObject_GetIter(gen.get()));
  if (!it) return false;
  for (;;) {
    Ref element = Ref::steal(PyIter_Next(it.get()));
    if (!element) return !PyErr_Occurred();
    if (!submit_one(self, element.get())) return false;
  }
}

// -1 error, 1 when fewer than kQueueBound names are waiting.
int queue_has_room(PyObject* self) {
  Ref size = vt::call_method(self, names._get_qsize);
  if (!size) return -1;
  Ref bound = Ref::steal(PyLong_FromLong(kQueueBound));
  if (!bound) return -1;
  return PyObject_RichCompareBool(size.get(), bound.get(), Py_LT);
}

PyObject* m_send_list_thread(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* a[1];
  if (!vt::bind_args("VigilThreadsMain._send_list_thread", {"thread_list"}, 1, args,
                     nargs, kwnames, a))
    return nullptr;
  PyObject* thread_list = a[0];
  int repeat = collab::field_truth(self, names.duration);
  if (repeat < 0) return nullptr;
  if (!repeat) {
    if (!one_pass(self, thread_list)) return nullptr;
    Py_RETURN_NONE;
  }
  Ref start = manager::time_now();
  if (!start) return nullptr;
  Ref idle = Ref::steal(PyFloat_FromDouble(kIdlePause));
  if (!idle) return nullptr;
  for (;;) {
    int open = collab::field_truth(self, names.switch_);
    if (open < 0) return nullptr;
    if (!open) break;
    int passed = manager::duration_passed(self, start.get());
    if (passed < 0) return nullptr;
    int room = 0;
    if (!passed) {
      room = queue_has_room(self);
      if (room < 0) return nullptr;
    }
    if (room) {
      if (!one_pass(self, thread_list)) return nullptr;
      continue;
    }
    // Past its window the loop only waits for the close; once the program's
    // main thread has finished no close may come, so end here and let the
    // interpreter exit.
    if (passed && g.shutting_down.load()) break;
    if (!vt::call_method(g.time, names.sleep, {idle.get()})) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* m_send_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  PyObject* a[1];
  if (!vt::bind_args("VigilThreadsMain._send_list", {"thread_list"}, 1, args, nargs,
                     kwnames, a))
    return nullptr;
  PyObject* thread_list = a[0];
  if (!PyList_Check(thread_list) && !PyTuple_Check(thread_list) &&
      !PySet_Check(thread_list))
    Py_RETURN_NONE;
  Ref target = Ref::steal(PyObject_GetAttr(self, vt::intern("_send_list_thread")));
  if (!target) return nullptr;
  Ref targs = Ref::steal(PyTuple_Pack(1, thread_list));
  Ref cls = Ref::steal(PyObject_GetAttr(g.threading, names.Thread));
  Ref kwn = Ref::steal(PyTuple_Pack(2, names.target, vt::intern("args")));
  if (!targs || !cls || !kwn) return nullptr;
  PyObject* stack[] = {target.get(), targs.get()};
  Ref thread = Ref::steal(PyObject_Vectorcall(cls.get(), stack, 0, kwn.get()));
  if (!thread || !vt::call_method(thread.get(), names.start)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* m_thread_list_yield(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  // A static method: counted without self, unlike bind_args' wording.
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError,
                 "VigilThreadsMain._thread_list_yield() takes 1 positional "
                 "argument but %zd were given",
                 nargs);
    return nullptr;
  }
  PyObject* a[1];
  if (!vt::bind_args("VigilThreadsMain._thread_list_yield", {"thread_list"}, 1, args,
                     nargs, kwnames, a))
    return nullptr;
  PyObject* walk = walk_function();
  if (!walk) return nullptr;
  return PyObject_CallOneArg(walk, a[0]);
}

}  // namespace

PyMethodDef batch_methods[] = {
    VT_METHOD("_send_list", m_send_list, 0,
          "_send_list($self, thread_list)\n--\n\n"
          "Submit a list, tuple or set of task descriptions from a new "
          "background thread (see _send_list_thread) and return at once. Any "
          "other container is ignored."),
    VT_METHOD("_send_list_thread", m_send_list_thread, 0,
          "_send_list_thread($self, thread_list)\n--\n\n"
          "Submit every element of thread_list with _send(**element): once, or, "
          "with the manager's duration set, again and again for that many "
          "seconds, each pass only while fewer than 1000 names are queued. A "
          "repeating call returns when the manager is closed."),
    VT_METHOD("_thread_list_yield", m_thread_list_yield, METH_STATIC,
          "_thread_list_yield(thread_list)\n--\n\n"
          "A generator over the elements of thread_list."),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace vtm::submit
