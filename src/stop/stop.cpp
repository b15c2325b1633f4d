#include "stop/stop.h"

#include "common/call.h"
#include "worker/worker.h"

using vt::Borrowed;
using vt::check;
using vt::Ref;
using vt::take;

namespace vtm::stop {

namespace {

constexpr const char* kStopThreadError = "Stop thread error";
constexpr double kDrainTimeout = 0.2;  // seconds one take may wait for a name

// self._async_raise(tid, SystemExit), through the method.
void raise_system_exit(const Manager& m, unsigned long tid) {
  Ref t = take(PyLong_FromUnsignedLong(tid));
  m.call(m.st.names._async_raise, {t, PyExc_SystemExit});
}

Ref record_of(const Manager& m, const collab::Holder& var, PyObject* name) {
  Ref rec = m.table(var).record(name);
  if (!rec) vt::raise_format(PyExc_KeyError, "Task <%S> does not exist", name);
  return rec;
}

// Ends the request on a worker however the request went.
struct StopRequest {
  PyObject* worker;
  ~StopRequest() { worker::end_stop_request(worker); }
};

// Stops one target; a failure ends the caller's loop, after this target's
// bookkeeping is done where it applies.
void stop_one(const Manager& m, const collab::Holder& var, PyObject* name) {
  const Names& n = m.st.names;
  Ref thread = collab::Holder(m.st, record_of(m, var, name)).field(n.thread);
  if (!vt::truth(thread)) return;  // ended, or stopped before
  Ref ident = take(PyObject_GetAttr(thread, n.ident));
  if (!vt::truth(ident)) return;  // not started yet

  bool count_it = true;
  bool raised = true;
  Ref worker = manager::worker_of(m, name);
  if (worker && worker::is_worker(m.st, worker)) {
    // The run state decides, under the worker's lock, whether the run is
    // still ours to stop: a run that finished first stays counted as done,
    // and the request can only reach the task's own live thread.
    unsigned long tid = 0;
    worker::StopClaim claim = worker::claim_for_stop(worker, &tid);
    if (claim == worker::StopClaim::Over) return;
    if (claim == worker::StopClaim::Raise) {
      StopRequest request{worker};
      raised = vt::as_python([&] { raise_system_exit(m, tid); });
    }
  } else {
    // A thread this manager did not create: only the done list guards it.
    unsigned long tid = PyLong_AsUnsignedLong(ident);
    if (PyErr_Occurred()) vt::fail();
    raised = vt::as_python([&] { raise_system_exit(m, tid); });
    vt::StashedError failure;
    count_it = !vt::contains(var.field(n.dones), name);
  }
  {
    vt::StashedError failure;  // a failed request is raised after the bookkeeping
    collab::Holder(m.st, record_of(m, var, name)).set(n.thread, Py_None);
    if (count_it) {
      var.append(n.stops, name);
      collab::Holder(m.st, record_of(m, var, name)).set(n.status, m.st.status.stopped);
    }
  }
  if (!raised) throw vt::PyError{};
}

// queue.qsize() > 0, without the open check of _get_qsize (clearing works
// on a closed manager too).
bool queue_has_names(const State& st, Borrowed q) {
  Ref zero = take(PyLong_FromLong(0));
  return vt::compare(vt::call_method(q, st.names.qsize), zero, Py_GT);
}

// True when no name is queued and no started task is still running.
bool idle(const Manager& m, const collab::Holder& var) {
  const Names& n = m.st.names;
  if (queue_has_names(m.st, var.field(n.queue))) return false;
  return var.len(n.runs) - var.len(n.dones) - var.len(n.stops) <= 0;
}

// The new lists outlive the round being cleared. They are made side by side
// straight from the allocator, not taken from the interpreter's free list of
// lists, which holds lists freed all over the round's memory: scattered
// there, each kept a 1 MiB pymalloc arena alive after the round was freed.
void set_new_lists(const Manager& m, const collab::Holder& var,
                   std::initializer_list<PyObject*> fields, PyObject* extra_name,
                   PyObject* extra_value) {
  Ref kw = take(PyDict_New());
  for (PyObject* f : fields) vt::dict_set(kw, f, take(PyType_GenericAlloc(&PyList_Type, 0)));
  if (extra_name) vt::dict_set(kw, extra_name, extra_value);
  Ref meth = take(PyObject_GetAttr(var.get(), m.st.names.set_kwargs));
  Ref none = take(PyTuple_New(0));
  take(PyObject_Call(meth, none, kw));
}

}  // namespace

Ref async_raise(ManagerClass cls, const vt::Args& a) {
  Borrowed tid_arg = a[0], exc_type = a[1];
  vt::catching(
      PyExc_Exception,
      [&] {
        if (!PyLong_Check(tid_arg.get()))
          vt::raise_format(PyExc_TypeError, "thread id must be an integer, not %.100s",
                           Py_TYPE(tid_arg.get())->tp_name);
        unsigned long tid = PyLong_AsUnsignedLong(tid_arg);
        if (PyErr_Occurred()) vt::fail();
        // An exception instance stands for its class.
        PyObject* exc = PyType_Check(exc_type.get())
                            ? exc_type.get()
                            : reinterpret_cast<PyObject*>(Py_TYPE(exc_type.get()));
        int res = PyThreadState_SetAsyncExc(tid, exc);
        if (res == 1) return;
        if (res == 0) throw vt::Raise{PyExc_ValueError, "Invalid thread id"};
        // More than one thread state was hit: withdraw the request.
        PyThreadState_SetAsyncExc(tid, nullptr);
        throw vt::Raise{PyExc_SystemError, "PyThreadState_SetAsyncExc failed"};
      },
      [&](const Ref& exc) {
        Ref text = take(PyUnicode_FromString(kStopThreadError));
        vt::raise_from_context(exc, cls.st.manager_error, text);
      });
  return Ref::of(Py_None);
}

Ref stop_action(Manager m, const vt::Args& a) {
  Borrowed wanted = a[0];
  // One guard around the whole loop: the first failure ends it.
  vt::catching(
      PyExc_Exception,
      [&] {
        collab::Holder var = m.var();
        Ref targets;
        if (vt::truth(wanted)) {
          targets = take(PyList_New(1));
          PyList_SET_ITEM(targets.get(), 0, wanted.own().release());
        } else {
          Ref runs = var.field(m.st.names.runs);
          targets = take(PySequence_List(runs));  // a snapshot
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(targets.get()); ++i)
          stop_one(m, var, PyList_GET_ITEM(targets.get(), i));
      },
      [&](const Ref& exc) { collab::log_error(m.st, m.sink(), collab::Level::Debug, "Stop error: ", exc); });
  return Ref::of(Py_None);
}

Ref stop(Manager m, const vt::Args& a) {
  Borrowed name = a[0];
  m.check_while();
  collab::Holder var = m.var();
  const bool known = m.table(var).contains(name);
  Ref text = take(PyObject_Str(name));
  if (!known) vt::raise_format(PyExc_Exception, "Task <%U> does not exist", text.get());
  if (!vt::contains(var.field(m.st.names.runs), name))
    vt::raise_format(PyExc_Exception, "Task <%U> not running", text.get());
  m.call(m.st.names._stop_action, {name});
  m.log(collab::Level::Info, "Stop complete");
  return Ref::of(Py_True);
}

Ref stop_all(Manager m) {
  m.check_while();
  m.call(m.st.names._clear_queue);
  m.call(m.st.names._stop_action);
  m.log(collab::Level::Info, "Stop all complete");
  return Ref::of(Py_True);
}

void withdraw_queued(const Manager& m) {
  const Names& n = m.st.names;
  collab::Holder var = m.var();
  Ref q = var.field(n.queue);
  Ref timeout = take(PyFloat_FromDouble(kDrainTimeout));
  // Drain while names are counted, each take waiting briefly (a name put
  // just before may still be on its way into the queue); the first take
  // that finds nothing ends the drain, so it never waits for ever.
  while (queue_has_names(m.st, q)) {
    Ref name;
    try {
      name = vt::call_method(q, n.get, {Py_True, timeout});
    } catch (const vt::PyError&) {
      if (!PyErr_ExceptionMatches(m.st.queue_empty)) {
        // A close on another thread has drained and closed the queue.
        m.report_closed_instead();
        if (!PyErr_ExceptionMatches(m.st.manager_error)) throw;
      }
      PyErr_Clear();
      break;
    }
    if (Ref rec = m.table(var).record(name)) collab::Holder(m.st, rec).set(n.status, m.st.status.cancelled);
    var.append(n.cancels, name);
  }
}

Ref clear_queue(Manager m) {
  m.log(collab::Level::Info, "Clear queue......");
  withdraw_queued(m);
  m.log(collab::Level::Info, "Clear queue complete");
  return Ref::of(Py_True);
}

Ref clear_record(Manager m) {
  const Names& n = m.st.names;
  if (!vt::truth(m.call(n._done))) return Ref::of(Py_False);
  // Not while the dispatcher holds a name it has taken but not yet listed:
  // the task is then neither queued nor running, yet not over.
  manager::Clearing clearing(m);
  if (!clearing.begun()) return Ref::of(Py_False);
  collab::Holder var = m.var();
  // `done` can still be true from an earlier burst while new names wait or
  // run; clearing then would lose their records.
  if (!idle(m, var)) return Ref::of(Py_False);
  m.table(var).clear();
  set_new_lists(m, var, {n.totals, n.runs, n.stops, n.cancels}, nullptr, nullptr);
  set_new_lists(m, var, {n.dones, n.success, n.failed}, n.done, Py_False);
  manager::forget_tasks(m);
  manager::recorder_of(m)->reset();
  return Ref::of(Py_True);
}

Ref close(Manager m) {
  const Names& n = m.st.names;
  m.check_while();
  m.log(collab::Level::Info, "Close......");
  vt::catching(
      PyExc_Exception,
      [&] {
        collab::Holder var = m.var();
        var.set(n.switch_, Py_False);
        m.call(n._clear_queue);
        vt::call_method(var.field(n.queue), n.close);
        m.call(n._stop_action);
        // End the dispatcher only while it is still in its loop; one that has
        // already left it is no failure.
        vt::catching(
            PyExc_Exception, [&] { manager::stop_dispatcher(m); },
            [&](const Ref& exc) {
              collab::log_error(m.st, m.sink(), collab::Level::Warning, "Close error：", exc);
            });
        m.log(collab::Level::Info, "Close complete");
      },
      [&](const Ref& exc) {
        Ref text = vt::exc_text(exc);
        Ref msg = take(PyUnicode_FromFormat("%s%U", "Close error：", text.get()));
        vt::raise_from_context(exc, m.st.manager_error, msg);
      });
  return Ref::of(Py_True);
}

}  // namespace vtm::stop
