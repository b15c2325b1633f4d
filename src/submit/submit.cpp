#include "submit/submit.h"

#include "collab/collab.h"
#include "manager/manager.h"
#include "threads_main/globals.h"
#include "worker/worker.h"

using vt::Ref;

namespace vtm::submit {

namespace {

// Settles the task name: the given one when it is free, otherwise the next
// "Thread_N" not in use. Called with the lock held.
Ref settle_name(PyObject* var, PyObject* threads, PyObject* wished) {
  if (wished != Py_None && PyUnicode_GET_LENGTH(wished) > 0) {
    int used = collab::table_contains(threads, wished);
    if (used < 0) return Ref();
    if (!used) return Ref::borrow(wished);
  }
  for (;;) {
    Ref n = collab::get(var, names.name);
    if (!n) return Ref();
    Ref text = Ref::steal(PyObject_Str(n.get()));
    if (!text) return Ref();
    Ref cand = Ref::steal(PyUnicode_FromFormat("Thread_%U", text.get()));
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!cand || !one) return Ref();
    Ref next = Ref::steal(PyNumber_Add(n.get(), one.get()));
    if (!next || !collab::set(var, names.name, next.get())) return Ref();
    // A caller may have taken a "Thread_N" name the counter reaches later;
    // skip it rather than overwrite that task's record.
    int used = collab::table_contains(threads, cand.get());
    if (used < 0) return Ref();
    if (!used) return cand;
  }
}

// Under the lock: settle the name, create worker and thread, store the
// record. Returns the settled name.
Ref register_task(PyObject* self, PyObject* var, PyObject* wished,
                  PyObject* kwargs) {
  Ref threads = collab::get(var, names.threads);
  if (!threads) return Ref();
  Ref name = settle_name(var, threads.get(), wished);
  if (!name) return Ref();
  Ref log = collab::log_of(self);
  if (!log) return Ref();
  Ref worker = worker::create(var, name.get(), log.get(), kwargs);
  if (!worker) return Ref();
  Ref thread = worker::make_thread(worker.get());
  if (!thread) return Ref();
  if (!collab::table_set_record(threads.get(), name.get(), thread.get(), Py_None,
                                status.pending))
    return Ref();
  if (!manager::remember_worker(self, name.get(), worker.get())) return Ref();
  return name;
}

PyObject* m_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError,
                 "VigilThreadsMain._send() takes from 1 to 2 positional "
                 "arguments but %zd were given",
                 nargs + 1);
    return nullptr;
  }
  PyObject* wished = nargs ? args[0] : nullptr;
  Ref kwargs;
  if (kwnames) {
    Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nk; ++i) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, i);
      PyObject* val = args[nargs + i];
      if (PyUnicode_CompareWithASCIIString(key, "thread_name") == 0) {
        if (wished) {
          PyErr_SetString(PyExc_TypeError,
                          "VigilThreadsMain._send() got multiple values for "
                          "argument 'thread_name'");
          return nullptr;
        }
        wished = val;
        continue;
      }
      if (!kwargs) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
      }
      if (PyDict_SetItem(kwargs.get(), key, val) < 0) return nullptr;
    }
  }
  if (!wished) wished = Py_None;
  if (wished != Py_None && !PyUnicode_CheckExact(wished)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got "
                 "%.200s)",
                 "thread_name", "str", Py_TYPE(wished)->tp_name);
    return nullptr;
  }
  if (!manager::call_check_while(self)) return nullptr;

  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  Ref lock = collab::get(var.get(), names.lock);
  if (!lock || !vt::call_method(lock.get(), names.acquire)) return nullptr;
  Ref name = register_task(self, var.get(), wished, kwargs.get());
  // The lock is released whatever happened while it was held.
  PyObject* err = name ? nullptr : PyErr_GetRaisedException();
  Ref released = vt::call_method(lock.get(), names.release);
  if (err) {
    PyErr_Clear();
    PyErr_SetRaisedException(err);
    return nullptr;
  }
  if (!released) return nullptr;

  Ref q = collab::get(var.get(), names.queue);
  if (!q || !vt::call_method(q.get(), names.put, {name.get()})) {
    // A close that came in meanwhile has withdrawn and closed the queue:
    // the task will never run, so its record says cancelled.
    if (manager::report_closed_instead(self)) {
      PyObject* err = PyErr_GetRaisedException();
      Ref threads = collab::get(var.get(), names.threads);
      Ref rec = threads ? collab::table_get(threads.get(), name.get()) : Ref();
      if (rec && rec.get() != Py_None) collab::set(rec.get(), names.status, status.cancelled);
      PyErr_Clear();
      PyErr_SetRaisedException(err);
    }
    return nullptr;
  }
  manager::wake_dispatcher(self);
  if (!collab::field_append(var.get(), names.totals, name.get())) return nullptr;
  Py_RETURN_TRUE;
}

}  // namespace

PyMethodDef methods[] = {
    {"_send", reinterpret_cast<PyCFunction>(m_send),
     METH_FASTCALL | METH_KEYWORDS,
     "_send($self, thread_name=None, **kwargs)\n--\n\n"
     "Submit one task: the callable will run with kwargs. thread_name must be "
     "a str or None; when it is None, empty or already in use the task gets "
     "the next free name 'Thread_N'. Returns True as soon as the task is "
     "queued."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace vtm::submit
