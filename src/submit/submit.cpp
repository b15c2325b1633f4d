#include "submit/submit.h"

#include "common/call.h"
#include "dispatcher/dispatcher.h"
#include "manager/clearing.h"
#include "manager/manager.h"
#include "queue/queue.h"
#include "stats/recorder.h"
#include "task/task.h"
#include "worker/worker.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::submit {

namespace {

// Settles the task name: the given one when it is free, otherwise the next
// "Thread_N" not in use. Called with the lock held.
Ref settle_name(const State& st, const collab::Holder& var, const collab::Table& table,
                Borrowed wished) {
  if (!wished.is(Py_None) && PyUnicode_GET_LENGTH(wished.get()) > 0 && !table.contains(wished))
    return wished.own();
  Ref one = take(PyLong_FromLong(1));
  for (;;) {
    Ref number = var.field(st.names.name);
    Ref text = take(PyObject_Str(number));
    Ref candidate = take(PyUnicode_FromFormat("Thread_%U", text.get()));
    var.set(st.names.name, take(PyNumber_Add(number, one)));
    // A caller may have taken a "Thread_N" name the counter reaches later;
    // skip it rather than overwrite that task's record.
    if (!table.contains(candidate)) return candidate;
  }
}

// Under the lock: settle the name and store the record, whose thread entry
// is the task until the task starts (or the entry is read). Returns the
// settled name.
Ref register_task(const Manager& m, const collab::Holder& var, Borrowed wished, Borrowed kwargs) {
  collab::Table table = m.table(var);
  Ref name = settle_name(m.st, var, table, wished);
  worker::check_collisions(m.st, kwargs);
  Ref task = task::create(m, name, kwargs);
  table.set_record(name, task, Py_None, m.st.status.pending);
  manager::remember_task(m, name, task);
  // Its queue wait runs from here: the name goes on the queue next.
  task::set_queued_at(task, stats::monotonic_us());
  return name;
}

// The state holder's lock, held for a scope and released on every way out.
class HeldLock {
 public:
  HeldLock(const State& st, Ref lock) : st_(st), lock_(std::move(lock)) {
    vt::call_method(lock_, st_.names.acquire);
  }
  // Releases now; a failure to release is the caller's error.
  void release() {
    Ref lock = std::move(lock_);
    vt::call_method(lock, st_.names.release);
  }
  ~HeldLock() {
    if (!lock_ || !vt::attached()) return;
    vt::StashedError failure;  // the error that brought us here stays
    vt::quietly([&] { vt::call_method(lock_, st_.names.release); });
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  const State& st_;
  Ref lock_;
};

}  // namespace

Ref send(Manager m, Borrowed wished, Borrowed kwargs) {
  if (!wished.is(Py_None) && !PyUnicode_CheckExact(wished.get()))
    vt::raise_format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     "thread_name", "str", Py_TYPE(wished.get())->tp_name);
  m.check_while();
  // Before anything is settled: a refusal leaves no record and no name.
  m.check_program_running();

  const Names& n = m.st.names;
  collab::Holder var = m.var();
  // From the record to totals, no clear of the records comes in between.
  manager::Submitting submitting(m);
  Ref name;
  {
    HeldLock lock(m.st, var.field(n.lock));
    name = register_task(m, var, wished, kwargs);
    lock.release();
  }
  Ref queue = var.field(n.queue);
  try {
    vt::call_method(queue, n.put, {name});
  } catch (const vt::PyError&) {
    // All or nothing: the name never reached the queue (a close withdrew
    // and closed it meanwhile, or its feeder thread could not start), so no
    // trace of the task stays; a record left pending would wait for ever.
    {
      vt::StashedError refused;
      vt::quietly([&] { m.st.priv.undo_refused_put(queue, refused.get()); });
      vt::quietly([&] { m.table(var).remove(name); });
      vt::quietly([&] { manager::forget_task(m, name); });
    }
    // The queue's error stays as the context of the manager's.
    if (m.closed_meanwhile()) m.raise_stopped();
    throw;
  }
  dispatcher::wake(m);
  var.append(n.totals, name);
  // Submitted after the program's end retired the dispatcher: nothing will
  // run it, so it is withdrawn at once.
  if (dispatcher::retired(m)) queue::withdraw_all(m);
  return Ref::of(Py_True);
}

}  // namespace vtm::submit
