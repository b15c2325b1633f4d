#include "stop/stop.h"

#include "collab/collab.h"
#include "manager/manager.h"
#include "threads_main/globals.h"
#include "worker/worker.h"

using vt::Ref;

namespace vtm::stop {

namespace {

constexpr const char* kStopThreadError = "Stop thread error";
constexpr double kDrainTimeout = 0.2;  // seconds one take may wait for a name

// Raises ManagerError(text) with the current exception, if any, as context.
void raise_manager_error(PyObject* text) {
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_SetObject(g.manager_error, text);
  if (cause) {
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetContext(exc, cause);  // steals cause
    PyErr_SetRaisedException(exc);
  }
}

void raise_manager_error(const char* text) {
  Ref t = Ref::steal(PyUnicode_FromString(text));
  if (t) raise_manager_error(t.get());
}

PyObject* m_async_raise(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* a[2];
  if (!vt::bind_args("VigilThreadsMain._async_raise", {"tid", "exc_type"}, 2, args,
                     nargs, kwnames, a))
    return nullptr;
  do {
    if (!PyLong_Check(a[0])) {
      PyErr_Format(PyExc_TypeError, "thread id must be an integer, not %.100s",
                   Py_TYPE(a[0])->tp_name);
      break;
    }
    unsigned long tid = PyLong_AsUnsignedLong(a[0]);
    if (PyErr_Occurred()) break;
    // An exception instance stands for its class.
    PyObject* exc =
        PyType_Check(a[1]) ? a[1] : reinterpret_cast<PyObject*>(Py_TYPE(a[1]));
    int res = PyThreadState_SetAsyncExc(tid, exc);
    if (res == 1) Py_RETURN_NONE;
    if (res == 0) {
      PyErr_SetString(PyExc_ValueError, "Invalid thread id");
      break;
    }
    // More than one thread state was hit: withdraw the request.
    PyThreadState_SetAsyncExc(tid, nullptr);
    PyErr_SetString(PyExc_SystemError, "PyThreadState_SetAsyncExc failed");
  } while (false);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  raise_manager_error(kStopThreadError);
  return nullptr;
}

// self._async_raise(tid, SystemExit), through the method.
bool raise_system_exit(void* self, unsigned long tid) {
  Ref t = Ref::steal(PyLong_FromUnsignedLong(tid));
  if (!t) return false;
  return vt::call_method(static_cast<PyObject*>(self), names._async_raise,
                         {t.get(), PyExc_SystemExit})
      .operator bool();
}

Ref record_of(PyObject* var, PyObject* name) {
  Ref threads = collab::get(var, names.threads);
  if (!threads) return Ref();
  Ref rec = collab::table_get(threads.get(), name);
  if (rec && rec.get() == Py_None) {
    Ref text = Ref::steal(PyObject_Str(name));
    if (text) PyErr_Format(PyExc_KeyError, "Task <%U> does not exist", text.get());
    return Ref();
  }
  return rec;
}

// Stops one target. Returns false with an exception set when the loop must
// end; the bookkeeping of this target is done first where it applies.
bool stop_one(PyObject* self, PyObject* var, PyObject* name) {
  Ref rec = record_of(var, name);
  if (!rec) return false;
  Ref thread = collab::get(rec.get(), names.thread);
  if (!thread) return false;
  int t = vt::truth(thread.get());
  if (t < 0) return false;
  if (!t) return true;  // ended, or stopped before
  Ref ident = Ref::steal(PyObject_GetAttr(thread.get(), names.ident));
  if (!ident) return false;
  t = vt::truth(ident.get());
  if (t < 0) return false;
  if (!t) return true;  // not started yet

  Ref worker = manager::worker_of(self, name);
  if (!worker) return false;
  bool raise_failed = false;
  bool count_it = true;
  if (worker::check(worker.get())) {
    // The run state decides, under the worker's lock, whether the run is
    // still ours to stop: a run that finished first stays counted as done,
    // and the request can only reach the task's own live thread.
    worker::StopClaim claim = worker::claim_for_stop(worker.get(), raise_system_exit, self);
    if (claim == worker::StopClaim::Over) return true;
    raise_failed = claim == worker::StopClaim::RaiseFailed;
  } else {
    // A thread this manager did not create: only the done list guards it.
    unsigned long tid = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return false;
    raise_failed = !raise_system_exit(self, tid);
    PyObject* err = raise_failed ? PyErr_GetRaisedException() : nullptr;
    Ref dones = collab::get(var, names.dones);
    int in = dones ? PySequence_Contains(dones.get(), name) : -1;
    if (err) {
      PyErr_Clear();
      PyErr_SetRaisedException(err);
    } else if (in < 0) {
      return false;
    }
    count_it = in == 0;
  }
  PyObject* err = raise_failed ? PyErr_GetRaisedException() : nullptr;
  bool ok = true;
  Ref again = record_of(var, name);
  ok = again && collab::set(again.get(), names.thread, Py_None);
  if (ok && count_it) {
    ok = collab::field_append(var, names.stops, name);
    Ref third = ok ? record_of(var, name) : Ref();
    ok = third && collab::set(third.get(), names.status, status.stopped);
  }
  if (err) {
    PyErr_Clear();
    PyErr_SetRaisedException(err);
    return false;
  }
  return ok;
}

PyObject* m_stop_action(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* a[1];
  if (!vt::bind_args("VigilThreadsMain._stop_action", {"thread_name"}, 0, args,
                     nargs, kwnames, a))
    return nullptr;
  PyObject* wanted = a[0] ? a[0] : Py_None;
  // One guard around the whole loop: the first failure ends it.
  do {
    Ref var = collab::var_of(self);
    if (!var) break;
    int one = vt::truth(wanted);
    if (one < 0) break;
    Ref targets;
    if (one) {
      targets = Ref::steal(PyList_New(1));
      if (!targets) break;
      PyList_SET_ITEM(targets.get(), 0, Py_NewRef(wanted));
    } else {
      Ref runs = collab::get(var.get(), names.runs);
      if (!runs) break;
      targets = Ref::steal(PySequence_List(runs.get()));  // snapshot
      if (!targets) break;
    }
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(targets.get()); ++i)
      ok = stop_one(self, var.get(), PyList_GET_ITEM(targets.get(), i));
    if (ok) Py_RETURN_NONE;
  } while (false);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!collab::log_error(self, collab::Level::Debug, "Stop error: ", exc.get()))
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* m_stop(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  PyObject* a[1];
  if (!vt::bind_args("VigilThreadsMain._stop", {"thread_name"}, 1, args, nargs,
                     kwnames, a))
    return nullptr;
  PyObject* name = a[0];
  if (!manager::call_check_while(self)) return nullptr;
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  Ref threads = collab::get(var.get(), names.threads);
  if (!threads) return nullptr;
  int known = collab::table_contains(threads.get(), name);
  if (known < 0) return nullptr;
  Ref text = Ref::steal(PyObject_Str(name));
  if (!text) return nullptr;
  if (!known) {
    PyErr_Format(PyExc_Exception, "Task <%U> does not exist", text.get());
    return nullptr;
  }
  Ref runs = collab::get(var.get(), names.runs);
  if (!runs) return nullptr;
  int started = PySequence_Contains(runs.get(), name);
  if (started < 0) return nullptr;
  if (!started) {
    PyErr_Format(PyExc_Exception, "Task <%U> not running", text.get());
    return nullptr;
  }
  if (!vt::call_method(self, names._stop_action, {name})) return nullptr;
  if (!collab::log(self, collab::Level::Info, "Stop complete")) return nullptr;
  Py_RETURN_TRUE;
}

PyObject* m_stop_all(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                     PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._stop_all", nargs, kwnames)) return nullptr;
  if (!manager::call_check_while(self)) return nullptr;
  if (!vt::call_method(self, names._clear_queue)) return nullptr;
  if (!vt::call_method(self, names._stop_action)) return nullptr;
  if (!collab::log(self, collab::Level::Info, "Stop all complete")) return nullptr;
  Py_RETURN_TRUE;
}

// queue.qsize() > 0, without the open check of _get_qsize (clearing works on
// a closed manager too).
int queue_has_names(PyObject* q) {
  Ref n = vt::call_method(q, names.qsize);
  if (!n) return -1;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return -1;
  return PyObject_RichCompareBool(n.get(), zero.get(), Py_GT);
}

PyObject* m_clear_queue(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                        PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._clear_queue", nargs, kwnames)) return nullptr;
  if (!collab::log(self, collab::Level::Info, "Clear queue......")) return nullptr;
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  Ref q = collab::get(var.get(), names.queue);
  if (!q) return nullptr;
  Ref timeout = Ref::steal(PyFloat_FromDouble(kDrainTimeout));
  if (!timeout) return nullptr;
  // Drain while names are counted, each take waiting briefly (a name put
  // just before may still be on its way into the queue); the first take
  // that finds nothing ends the drain, so it never waits for ever.
  for (;;) {
    int more = queue_has_names(q.get());
    if (more < 0) return nullptr;
    if (!more) break;
    Ref name = vt::call_method(q.get(), names.get, {Py_True, timeout.get()});
    if (!name) {
      if (PyErr_ExceptionMatches(g.queue_empty)) {
        PyErr_Clear();
        break;
      }
      // A close on another thread has drained and closed the queue.
      if (!manager::report_closed_instead(self)) return nullptr;
      PyErr_Clear();
      break;
    }
    Ref threads = collab::get(var.get(), names.threads);
    if (!threads) return nullptr;
    Ref rec = collab::table_get(threads.get(), name.get());
    if (!rec) return nullptr;
    if (rec.get() != Py_None && !collab::set(rec.get(), names.status, status.cancelled))
      return nullptr;
    if (!collab::field_append(var.get(), names.cancels, name.get())) return nullptr;
  }
  if (!collab::log(self, collab::Level::Info, "Clear queue complete")) return nullptr;
  Py_RETURN_TRUE;
}

// True when no name is queued and no started task is still running.
int idle(PyObject* var) {
  Ref q = collab::get(var, names.queue);
  if (!q) return -1;
  int more = queue_has_names(q.get());
  if (more != 0) return more < 0 ? -1 : 0;
  Py_ssize_t runs = collab::field_len(var, names.runs);
  Py_ssize_t dones = collab::field_len(var, names.dones);
  Py_ssize_t stops = collab::field_len(var, names.stops);
  if (runs < 0 || dones < 0 || stops < 0) return -1;
  return runs - dones - stops <= 0;
}

bool set_new_lists(PyObject* var, std::initializer_list<PyObject*> fields,
                   PyObject* extra_name, PyObject* extra_value) {
  Ref kw = Ref::steal(PyDict_New());
  if (!kw) return false;
  for (PyObject* f : fields) {
    Ref l = Ref::steal(PyList_New(0));
    if (!l || PyDict_SetItem(kw.get(), f, l.get()) < 0) return false;
  }
  if (extra_name && PyDict_SetItem(kw.get(), extra_name, extra_value) < 0) return false;
  Ref meth = Ref::steal(PyObject_GetAttr(var, names.set_kwargs));
  Ref empty = Ref::steal(PyTuple_New(0));
  return meth && empty && Ref::steal(PyObject_Call(meth.get(), empty.get(), kw.get()));
}

PyObject* m_clear_record(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                         PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._clear_record", nargs, kwnames)) return nullptr;
  Ref done = vt::call_method(self, names._done);
  if (!done) return nullptr;
  int t = vt::truth(done.get());
  if (t < 0) return nullptr;
  if (!t) Py_RETURN_FALSE;
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  // `done` can still be true from an earlier burst while new names wait or
  // run; clearing then would lose their records.
  int quiet = idle(var.get());
  if (quiet < 0) return nullptr;
  if (!quiet) Py_RETURN_FALSE;
  Ref threads = collab::get(var.get(), names.threads);
  if (!threads || !vt::call_method(threads.get(), vt::intern("clear")))
    return nullptr;
  if (!set_new_lists(var.get(), {names.totals, names.runs, names.stops, names.cancels},
                     nullptr, nullptr) ||
      !set_new_lists(var.get(), {names.dones, names.success, names.failed}, names.done,
                     Py_False))
    return nullptr;
  manager::forget_workers(self);
  Py_RETURN_TRUE;
}

PyObject* m_close(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._close", nargs, kwnames)) return nullptr;
  if (!manager::call_check_while(self)) return nullptr;
  if (!collab::log(self, collab::Level::Info, "Close......")) return nullptr;
  do {
    Ref var = collab::var_of(self);
    if (!var || !collab::set(var.get(), names.switch_, Py_False)) break;
    if (!vt::call_method(self, names._clear_queue)) break;
    Ref q = collab::get(var.get(), names.queue);
    if (!q || !vt::call_method(q.get(), names.close)) break;
    if (!vt::call_method(self, names._stop_action)) break;
    // End the dispatcher only while it is still in its loop; one that has
    // already left it is no failure.
    if (!manager::stop_dispatcher(self)) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
      Ref exc = Ref::steal(PyErr_GetRaisedException());
      if (!collab::log_error(self, collab::Level::Warning, "Close error：", exc.get()))
        break;
    }
    if (!collab::log(self, collab::Level::Info, "Close complete")) break;
    Py_RETURN_TRUE;
  } while (false);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  Ref text;
  {
    PyObject* exc = PyErr_GetRaisedException();
    text = vt::exc_text(exc);
    PyErr_SetRaisedException(exc);
  }
  Ref msg = Ref::steal(PyUnicode_FromFormat("%s%U", "Close error：", text.get()));
  if (!msg) return nullptr;
  raise_manager_error(msg.get());
  return nullptr;
}

}  // namespace

PyMethodDef methods[] = {
    VT_METHOD("_async_raise", m_async_raise, METH_STATIC,
          "_async_raise(tid, exc_type)\n--\n\n"
          "Ask the interpreter to raise exc_type (a class, or an instance standing "
          "for its class) in the thread with id tid. Any failure raises "
          "ManagerError('Stop thread error')."),
    VT_METHOD("_stop_action", m_stop_action, 0,
          "_stop_action($self, thread_name=None)\n--\n\n"
          "Cancel the running task thread_name, or every started task when it is "
          "false, by raising SystemExit in its thread; each cancelled task is "
          "marked '停止' and listed in stops. Failures are logged at debug level "
          "as 'Stop error: ...', never raised."),
    VT_METHOD("_stop", m_stop, 0,
          "_stop($self, thread_name)\n--\n\n"
          "Cancel one started task. Raises Exception('Task <name> does not exist') "
          "or Exception('Task <name> not running'); a task that has already ended "
          "is left as it is. Logs 'Stop complete' and returns True."),
    VT_METHOD("_stop_all", m_stop_all, 0,
          "_stop_all($self, /)\n--\n\n"
          "Withdraw every queued task and cancel every running one; the manager "
          "stays open. Logs 'Stop all complete' and returns True."),
    VT_METHOD("_clear_queue", m_clear_queue, 0,
          "_clear_queue($self, /)\n--\n\n"
          "Withdraw every queued task, marking it '取消' and listing it in "
          "cancels. Returns True."),
    VT_METHOD("_clear_record", m_clear_record, 0,
          "_clear_record($self, /)\n--\n\n"
          "Once all work has finished, forget every task and reset the seven "
          "name lists. Returns False (changing nothing) while work is queued or "
          "running, True otherwise."),
    VT_METHOD("_close", m_close, 0,
          "_close($self, /)\n--\n\n"
          "Close the manager for good: refuse further work, withdraw the queue "
          "and close it, cancel running tasks and end the dispatcher. Returns "
          "True; a failing step raises ManagerError('Close error：...')."),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace vtm::stop
