#include "query/query.h"

#include "collab/collab.h"
#include "manager/manager.h"
#include "threads_main/globals.h"

using vt::Ref;

namespace vtm::query {

namespace {

// The answer for a name not in the table.
PyObject* unknown_text() {
  static PyObject* text = vt::intern("Task does not exist");
  return text;
}

struct Count {
  PyObject* key;
  PyObject* field;  // list field of the state holder
};

// Lengths read one after another, in the order given.
bool put_counts(PyObject* out, PyObject* var, const Count* counts, int n) {
  for (int i = 0; i < n; ++i) {
    Py_ssize_t len = collab::field_len(var, counts[i].field);
    if (len < 0) return false;
    Ref v = Ref::steal(PyLong_FromSsize_t(len));
    if (!v || PyDict_SetItem(out, counts[i].key, v.get()) < 0) return false;
  }
  return true;
}

Ref threads_of(PyObject* self) {
  Ref var = collab::var_of(self);
  if (!var) return Ref();
  return collab::get(var.get(), names.threads);
}

// Calls fn(name, record) for every task, in the order keys() yields them,
// over one snapshot of the names. A name whose record has gone by the time
// it is reached (the table was cleared meanwhile) is no longer a task and
// is skipped.
template <class F>
bool for_each_task(PyObject* threads, F&& fn) {
  Ref keys = vt::call_method(threads, names.keys);
  if (!keys) return false;
  Ref it = Ref::steal(PyObject_GetIter(keys.get()));
  if (!it) return false;
  while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
    Ref rec = collab::table_get(threads, name.get());
    if (!rec) return false;
    if (rec.get() == Py_None) continue;
    if (!fn(name.get(), rec.get())) return false;
  }
  return !PyErr_Occurred();
}

// 1 when the record's status is the failed word, compared as strings: no
// other word counts, and neither does a non-string.
int is_failed(PyObject* rec) {
  Ref st = collab::get(rec, names.status);
  if (!st) return -1;
  if (st.get() == status.failed) return 1;
  if (!PyUnicode_Check(st.get())) return 0;
  return PyUnicode_Compare(st.get(), status.failed) == 0;
}

// {name: record.<field>}, or {name: "Task does not exist"} when the name is
// not a key, or stops being one between the membership test and the look-up.
PyObject* one_task(PyObject* self, PyObject* name, PyObject* field) {
  Ref threads = threads_of(self);
  if (!threads) return nullptr;
  int known = collab::table_contains(threads.get(), name);
  if (known < 0) return nullptr;
  Ref rec = known ? collab::table_get(threads.get(), name) : Ref::borrow(Py_None);
  if (!rec) return nullptr;
  Ref value = rec.get() == Py_None ? Ref::borrow(unknown_text())
                                   : collab::get(rec.get(), field);
  if (!value) return nullptr;
  Ref out = Ref::steal(PyDict_New());
  if (!out || PyDict_SetItem(out.get(), name, value.get()) < 0) return nullptr;
  return out.release();
}

// The six counts over all tasks, then "data": one entry per task, or per
// failed task only.
PyObject* summary(PyObject* self, bool only_failed) {
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  const Count counts[] = {{names.total, names.totals},   {names.run, names.runs},
                          {names.success, names.success},
                          {names.failed, names.failed}, {names.stop, names.stops},
                          {names.cancel, names.cancels}};
  if (!put_counts(out.get(), var.get(), counts, 6)) return nullptr;

  Ref threads = collab::get(var.get(), names.threads);
  if (!threads) return nullptr;
  Ref data = Ref::steal(PyList_New(0));
  if (!data) return nullptr;
  bool ok = for_each_task(threads.get(), [&](PyObject* name, PyObject* rec) {
    if (only_failed) {
      int f = is_failed(rec);
      if (f <= 0) return f == 0;
    }
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), names.task, name) < 0) return false;
    Ref result = collab::get(rec, names.result);
    if (!result || PyDict_SetItem(entry.get(), names.result, result.get()) < 0)
      return false;
    Ref st = collab::get(rec, names.status);
    if (!st || PyDict_SetItem(entry.get(), names.status, st.get()) < 0)
      return false;
    return PyList_Append(data.get(), entry.get()) == 0;
  });
  if (!ok || PyDict_SetItem(out.get(), names.data, data.get()) < 0) return nullptr;
  return out.release();
}

PyObject* m_get_status(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  PyObject* a[1];
  if (!vt::bind_args("VigilThreadsMain._get_status", {"thread_name"}, 1, args,
                     nargs, kwnames, a))
    return nullptr;
  return one_task(self, a[0], names.status);
}

PyObject* m_get_all_status(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._get_all_status", nargs, kwnames))
    return nullptr;
  Ref threads = threads_of(self);
  if (!threads) return nullptr;
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  bool ok = for_each_task(threads.get(), [&](PyObject* name, PyObject* rec) {
    Ref st = collab::get(rec, names.status);
    return st && PyDict_SetItem(out.get(), name, st.get()) == 0;
  });
  if (!ok) return nullptr;
  return out.release();
}

PyObject* m_get_run_status(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._get_run_status", nargs, kwnames))
    return nullptr;
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  const Count counts[] = {{names.total, names.totals},     {names.done, names.dones},
                          {names.run, names.runs},         {names.success, names.success},
                          {names.failed, names.failed}, {names.stop, names.stops},
                          {names.cancel, names.cancels}};
  if (!put_counts(out.get(), var.get(), counts, 7)) return nullptr;
  return out.release();
}

PyObject* m_is_run(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                   PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._is_run", nargs, kwnames)) return nullptr;
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  return collab::get(var.get(), names.is_run).release();
}

PyObject* m_is_close(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                     PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._is_close", nargs, kwnames)) return nullptr;
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  Ref sw = collab::get(var.get(), names.switch_);
  if (!sw) return nullptr;
  int open = vt::truth(sw.get());
  if (open < 0) return nullptr;
  return PyBool_FromLong(!open);
}

PyObject* m_get_result(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  PyObject* a[1];
  if (!vt::bind_args("VigilThreadsMain._get_result", {"thread_name"}, 1, args,
                     nargs, kwnames, a))
    return nullptr;
  return one_task(self, a[0], names.result);
}

PyObject* m_get_all_result(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                           PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._get_all_result", nargs, kwnames))
    return nullptr;
  return summary(self, false);
}

PyObject* m_get_failed_result(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                              PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._get_failed_result", nargs, kwnames))
    return nullptr;
  return summary(self, true);
}

PyObject* m_get_failed(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                       PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._get_failed", nargs, kwnames)) return nullptr;
  Ref threads = threads_of(self);
  if (!threads) return nullptr;
  // items() hands each record with its name: no look-up that a concurrent
  // clear could miss.
  Ref items = vt::call_method(threads.get(), names.items);
  if (!items) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(items.get()));
  if (!it) return nullptr;
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return nullptr;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    Ref pair = PyTuple_CheckExact(item.get()) ? item
                                              : Ref::steal(PySequence_Tuple(item.get()));
    if (!pair) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(pair.get());
    if (n != 2) {
      if (n > 2)
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
      else
        PyErr_Format(PyExc_ValueError,
                     "not enough values to unpack (expected 2, got %zd)", n);
      return nullptr;
    }
    PyObject* rec = PyTuple_GET_ITEM(pair.get(), 1);
    if (rec == Py_None) continue;
    int f = is_failed(rec);
    if (f < 0) return nullptr;
    if (f && PyList_Append(out.get(), PyTuple_GET_ITEM(pair.get(), 0)) < 0)
      return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return out.release();
}

PyObject* m_rerun_failed(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                         PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._rerun_failed", nargs, kwnames)) return nullptr;
  if (!manager::call_check_while(self)) return nullptr;
  // Through the method, so a subclass decides what counts as failed.
  Ref failed = vt::call_method(self, names._get_failed);
  if (!failed) return nullptr;
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  Ref queue = collab::get(var.get(), names.queue);
  if (!queue) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(failed.get()));
  if (!it) return nullptr;
  // The record stays as it is; the dispatcher gives the name a fresh thread
  // when it takes it.
  while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
    if (!vt::call_method(queue.get(), names.put, {name.get()})) {
      manager::report_closed_instead(self);
      return nullptr;
    }
    manager::wake_dispatcher(self);
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_TRUE;
}

}  // namespace

PyMethodDef methods[] = {
    VT_METHOD("_get_status", m_get_status, 0,
          "_get_status($self, thread_name)\n--\n\n"
          "{thread_name: status word} for one task, or {thread_name: 'Task "
          "does not exist'} when there is no such task."),
    VT_METHOD("_get_all_status", m_get_all_status, 0,
          "_get_all_status($self, /)\n--\n\n"
          "{task name: status word} for every task, in registration order."),
    VT_METHOD("_get_run_status", m_get_run_status, 0,
          "_get_run_status($self, /)\n--\n\n"
          "The seven counters: total, done, run, success, failed, stop and "
          "cancel (lengths of the task name lists)."),
    VT_METHOD("_is_run", m_is_run, 0,
          "_is_run($self, /)\n--\n\n"
          "The dispatcher's busy flag, as stored."),
    VT_METHOD("_is_close", m_is_close, 0,
          "_is_close($self, /)\n--\n\n"
          "True once the manager has been closed."),
    VT_METHOD("_get_result", m_get_result, 0,
          "_get_result($self, thread_name)\n--\n\n"
          "{thread_name: result} for one task, or {thread_name: 'Task does "
          "not exist'} when there is no such task."),
    VT_METHOD("_get_all_result", m_get_all_result, 0,
          "_get_all_result($self, /)\n--\n\n"
          "Summary: the counts total, run, success, failed, stop and cancel, "
          "and data, a list of {task, result, status} for every task."),
    VT_METHOD("_get_failed_result", m_get_failed_result, 0,
          "_get_failed_result($self, /)\n--\n\n"
          "As _get_all_result, with data holding only tasks whose status is "
          "'失败'; the counts are over all tasks."),
    VT_METHOD("_get_failed", m_get_failed, 0,
          "_get_failed($self, /)\n--\n\n"
          "Names of the tasks whose status is '失败', in registration order."),
    VT_METHOD("_rerun_failed", m_rerun_failed, 0,
          "_rerun_failed($self, /)\n--\n\n"
          "Queue every task named by _get_failed() again; each runs once more "
          "with its original keyword arguments. Returns True; raises "
          "ManagerError once the manager is closed."),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace vtm::query
