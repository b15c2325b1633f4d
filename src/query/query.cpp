#include "query/query.h"

#include "common/call.h"
#include "dispatcher/dispatcher.h"
#include "manager/clearing.h"
#include "manager/manager.h"
#include "manager/seams.h"
#include "queue/queue.h"
#include "stats/recorder.h"
#include "task/task.h"

using vt::Borrowed;
using vt::check;
using vt::Ref;
using vt::take;

namespace vtm::query {

namespace {

struct Count {
  PyObject* key;
  PyObject* field;  // a list field of the state holder
};

// Lengths read one after another, in the order given.
void put_counts(PyObject* out, const collab::Holder& var, std::initializer_list<Count> counts) {
  for (const Count& c : counts) {
    vt::dict_set(out, c.key, take(PyLong_FromSsize_t(var.len(c.field))));
  }
}

// Calls fn(name, record) for every task, in the order keys() yields them,
// over one snapshot of the names. A name whose record has gone by the time
// it is reached (the table was cleared meanwhile) is no longer a task and
// is skipped.
template <class F>
void for_each_task(const collab::Table& table, F&& fn) {
  Ref keys = table.keys();
  Ref it = take(PyObject_GetIter(keys));
  while (Ref name = Ref::steal(PyIter_Next(it))) {
    if (Ref rec = table.record(name)) fn(name.get(), rec.get());
  }
  if (PyErr_Occurred()) throw vt::PyError{};
}

// Whether the record's status is the failed word, compared as strings: no
// other word counts, and neither does a non-string.
bool is_failed(const Manager& m, PyObject* rec) {
  Ref st = collab::Holder(m.st, Ref::of(rec)).field(m.st.names.status);
  if (st.is(m.st.status.failed)) return true;
  return PyUnicode_Check(st.get()) && PyUnicode_Compare(st, m.st.status.failed) == 0;
}

// {name: record.<field>}, or {name: "Task does not exist"} when the name is
// not a key, or stops being one between the membership test and the look-up.
Ref one_task(const Manager& m, Borrowed name, PyObject* field) {
  collab::Table table = m.table(m.var());
  Ref rec = table.contains(name) ? table.record(name) : Ref();
  Ref value = rec ? collab::Holder(m.st, rec).field(field) : Ref::of(m.st.texts.no_such_task);
  Ref out = take(PyDict_New());
  vt::dict_set(out, name, value);
  return out;
}

// The six counts over all tasks, then "data": one entry per task, or per
// failed task only.
Ref summary(const Manager& m, bool only_failed) {
  const Names& n = m.st.names;
  collab::Holder var = m.var();
  Ref out = take(PyDict_New());
  put_counts(out, var,
             {{n.total, n.totals},
              {n.run, n.runs},
              {n.success, n.success},
              {n.failed, n.failed},
              {n.stop, n.stops},
              {n.cancel, n.cancels}});
  Ref data = take(PyList_New(0));
  for_each_task(m.table(var), [&](PyObject* name, PyObject* rec) {
    if (only_failed && !is_failed(m, rec)) return;
    collab::Holder record(m.st, Ref::of(rec));
    Ref entry = take(PyDict_New());
    vt::dict_set(entry, n.task, name);
    vt::dict_set(entry, n.result, record.field(n.result));
    vt::dict_set(entry, n.status, record.field(n.status));
    vt::list_append(data, entry);
  });
  vt::dict_set(out, n.data, data);
  return out;
}

}  // namespace

Ref get_qsize(Manager m) {
  m.check_while();
  return queue::size_now(m, m.var());
}

Ref done(Manager m) { return m.var().field(m.st.names.done); }

Ref get_status(Manager m, Borrowed thread_name) {
  return one_task(m, thread_name, m.st.names.status);
}

Ref get_all_status(Manager m) {
  Ref out = take(PyDict_New());
  for_each_task(m.table(m.var()), [&](PyObject* name, PyObject* rec) {
    vt::dict_set(out, name, collab::Holder(m.st, Ref::of(rec)).field(m.st.names.status));
  });
  return out;
}

Ref get_run_status(Manager m) {
  const Names& n = m.st.names;
  Ref out = take(PyDict_New());
  put_counts(out, m.var(),
             {{n.total, n.totals},
              {n.done, n.dones},
              {n.run, n.runs},
              {n.success, n.success},
              {n.failed, n.failed},
              {n.stop, n.stops},
              {n.cancel, n.cancels}});
  return out;
}

Ref is_run(Manager m) { return m.var().field(m.st.names.is_run); }

Ref is_close(Manager m) { return Ref::of(m.var().truth(m.st.names.switch_) ? Py_False : Py_True); }

Ref get_result(Manager m, Borrowed thread_name) {
  return one_task(m, thread_name, m.st.names.result);
}

Ref get_all_result(Manager m) { return summary(m, false); }

Ref get_failed_result(Manager m) { return summary(m, true); }

Ref get_failed(Manager m) {
  // items() hands each record with its name: no look-up that a concurrent
  // clear could miss.
  Ref items = m.table(m.var()).items();
  Ref it = take(PyObject_GetIter(items));
  Ref out = take(PyList_New(0));
  while (Ref item = Ref::steal(PyIter_Next(it))) {
    Ref pair = PyTuple_CheckExact(item.get()) ? item : take(PySequence_Tuple(item));
    Py_ssize_t size = PyTuple_GET_SIZE(pair.get());
    if (size > 2) vt::raise_format(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (size < 2)
      vt::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
    PyObject* rec = PyTuple_GET_ITEM(pair.get(), 1);
    if (rec != Py_None && is_failed(m, rec)) vt::list_append(out, PyTuple_GET_ITEM(pair.get(), 0));
  }
  if (PyErr_Occurred()) throw vt::PyError{};
  return out;
}

Ref rerun_failed(Manager m) {
  m.check_while();
  m.check_program_running();
  // A subclass decides what counts as failed.
  Ref failed = seam::get_failed(m);
  Ref queue = m.var().field(m.st.names.queue);
  Ref it = take(PyObject_GetIter(failed));
  // The record stays as it is; the dispatcher gives the name a fresh thread
  // when it takes it.
  while (Ref name = Ref::steal(PyIter_Next(it))) {
    manager::Submitting submitting(m);
    // Its queue wait runs from here.
    if (Ref task = manager::task_of(m, name)) task::set_queued_at(task, stats::monotonic_us());
    try {
      vt::call_method(queue, m.st.names.put, {name});
    } catch (const vt::PyError&) {
      if (m.closed_meanwhile()) m.raise_stopped();
      throw;
    }
    dispatcher::wake(m);
  }
  if (PyErr_Occurred()) throw vt::PyError{};
  return Ref::of(Py_True);
}

}  // namespace vtm::query
