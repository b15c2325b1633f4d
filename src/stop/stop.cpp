#include "stop/stop.h"

#include <vector>

#include "common/call.h"
#include "dispatcher/dispatcher.h"
#include "manager/clearing.h"
#include "manager/manager.h"
#include "manager/seams.h"
#include "queue/queue.h"
#include "task/task.h"
#include "worker/worker.h"

using vt::Borrowed;
using vt::check;
using vt::Ref;
using vt::take;

namespace vtm::stop {

namespace {

constexpr const char* kStopThreadError = "Stop thread error";

Ref record_of(const Manager& m, const collab::Holder& var, PyObject* name) {
  Ref rec = m.table(var).record(name);
  if (!rec) vt::raise_format(PyExc_KeyError, "Task <%S> does not exist", name);
  return rec;
}

// A stop's bookkeeping: the record's thread is cleared, and the run is
// counted as stopped, unless (a thread this manager did not create, which
// only the done list guards) it was counted as done first.
void book_stop(const Manager& m, const collab::Holder& var, PyObject* name, bool ours) {
  const Names& n = m.st.names;
  const bool count_it = ours || !vt::contains(var.field(n.dones), name);
  collab::Holder(m.st, record_of(m, var, name)).set(n.thread, Py_None);
  if (count_it) {
    // The slot is free from now: the next start's queue wait counts from
    // here, as from the end of a run. Told before the run counts as ended.
    manager::recorder_of(m)->slot_freed(stats::monotonic_us());
    var.append(n.stops, name);
    collab::Holder(m.st, record_of(m, var, name)).set(n.status, m.st.status.stopped);
  }
}

// Stops one target; a failure ends the caller's loop, after this target's
// bookkeeping is done where it applies.
void stop_one(const Manager& m, const collab::Holder& var, PyObject* name) {
  const Names& n = m.st.names;
  Ref thread = seam::record_thread(m, collab::Holder(m.st, record_of(m, var, name)));
  if (!vt::truth(thread)) return;  // ended, or stopped before
  Ref ident = take(PyObject_GetAttr(thread, n.ident));
  if (!vt::truth(ident)) return;  // not started yet

  Ref worker = task::worker_of(m, name);
  const bool ours = worker && worker::is_worker(m.st, worker);
  unsigned long tid = 0;
  worker::StopClaim claim = worker::StopClaim::Raise;
  if (ours) {
    // The run state decides, under the worker's lock, whether the run is
    // still ours to stop: a run that finished first stays counted as done,
    // and the request can only reach the task's own live thread.
    claim = worker::claim_for_stop(worker, &tid);
    if (claim == worker::StopClaim::Over) return;
  } else {
    tid = PyLong_AsUnsignedLong(ident);
    if (PyErr_Occurred()) throw vt::PyError{};
  }
  try {
    if (!ours) {
      seam::raise_system_exit(m, tid);
    } else if (claim == worker::StopClaim::Raise) {
      vt::RaiseGate::Raising request(worker::stop_gate(worker));
      seam::raise_system_exit(m, tid);
    }
  } catch (const vt::PyError&) {
    vt::StashedError failure;  // a failed request is raised after the bookkeeping
    book_stop(m, var, name, ours);
    throw;
  }
  book_stop(m, var, name, ours);
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

Ref async_raise(ManagerClass cls, Borrowed tid_arg, Borrowed exc_type) {
  vt::catching(
      PyExc_Exception,
      [&] {
        if (!PyLong_Check(tid_arg.get()))
          vt::raise_format(PyExc_TypeError, "thread id must be an integer, not %.100s",
                           Py_TYPE(tid_arg.get())->tp_name);
        unsigned long tid = PyLong_AsUnsignedLong(tid_arg);
        if (PyErr_Occurred()) throw vt::PyError{};
        // An exception instance stands for its class.
        PyObject* exc = PyType_Check(exc_type.get())
                            ? exc_type.get()
                            : reinterpret_cast<PyObject*>(Py_TYPE(exc_type.get()));
        int res = PyThreadState_SetAsyncExc(tid, exc);
        if (res == 1) return;
        if (res == 0) vt::raise_format(PyExc_ValueError, "Invalid thread id");
        // More than one thread state was hit: withdraw the request.
        PyThreadState_SetAsyncExc(tid, nullptr);
        vt::raise_format(PyExc_SystemError, "PyThreadState_SetAsyncExc failed");
      },
      [&](const Ref& exc) {
        PyErr_SetRaisedException(Py_NewRef(exc.get()));  // the context of what follows
        vt::raise_format(cls.st.manager_error, "%s", kStopThreadError);
      });
  return Ref::of(Py_None);
}

Ref stop_action(Manager m, Borrowed wanted) {
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
      [&](const Ref& exc) {
        collab::log_error(m.st, m.sink(), collab::Level::Debug, "Stop error: ", exc);
      });
  return Ref::of(Py_None);
}

Ref stop(Manager m, Borrowed name) {
  m.check_while();
  collab::Holder var = m.var();
  const bool known = m.table(var).contains(name);
  Ref text = take(PyObject_Str(name));
  if (!known) vt::raise_format(PyExc_Exception, "Task <%U> does not exist", text.get());
  if (!vt::contains(var.field(m.st.names.runs), name))
    vt::raise_format(PyExc_Exception, "Task <%U> not running", text.get());
  seam::stop_action(m, name);
  m.log(collab::Level::Info, "Stop complete");
  return Ref::of(Py_True);
}

Ref stop_all(Manager m) {
  m.check_while();
  seam::clear_queue(m);
  seam::stop_action(m);
  m.log(collab::Level::Info, "Stop all complete");
  return Ref::of(Py_True);
}

Ref clear_queue(Manager m) {
  m.log(collab::Level::Info, "Clear queue......");
  queue::withdraw_all(m);
  m.log(collab::Level::Info, "Clear queue complete");
  return Ref::of(Py_True);
}

Ref clear_record(Manager m) {
  const Names& n = m.st.names;
  if (!seam::done(m)) return Ref::of(Py_False);
  // What the clear takes away is dropped only after the clear has ended:
  // a result's __del__ may run any code, a submission included.
  std::vector<Ref> released;
  {
    manager::Clearing clearing(m);
    if (!clearing.begun()) return Ref::of(Py_False);
    collab::Holder var = m.var();
    // `done` can still be true from an earlier burst while new names wait or
    // run; clearing then would lose their records.
    if (queue::size_is(queue::size_now(m, var), Py_GT) || queue::running(m, var) > 0)
      return Ref::of(Py_False);
    released.push_back(m.table(var).take_all());
    for (PyObject* f : {n.totals.get(), n.runs.get(), n.stops.get(), n.cancels.get(), n.dones.get(),
                        n.success.get(), n.failed.get()})
      released.push_back(var.field(f));
    set_new_lists(m, var, {n.totals, n.runs, n.stops, n.cancels}, nullptr, nullptr);
    set_new_lists(m, var, {n.dones, n.success, n.failed}, n.done, Py_False);
    released.push_back(manager::forget_tasks(m));
    manager::recorder_of(m)->reset();
  }
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
        seam::clear_queue(m);
        vt::call_method(var.field(n.queue), n.close);
        seam::stop_action(m);
        // End the dispatcher only while it is still in its loop; one that has
        // already left it is no failure.
        vt::catching(
            PyExc_Exception, [&] { dispatcher::stop(m); },
            [&](const Ref& exc) {
              collab::log_error(m.st, m.sink(), collab::Level::Warning, "Close error：", exc);
            });
        m.log(collab::Level::Info, "Close complete");
      },
      [&](const Ref& exc) {
        Ref text = vt::exc_text(exc);
        PyErr_SetRaisedException(Py_NewRef(exc.get()));  // the context of what follows
        vt::raise_format(m.st.manager_error, "%s%U", "Close error：", text.get());
      });
  return Ref::of(Py_True);
}

}  // namespace vtm::stop
