#include "submit/batch.h"

#include "common/call.h"
#include "manager/manager.h"
#include "manager/seams.h"
#include "queue/queue.h"

using vt::Borrowed;
using vt::check;
using vt::Ref;
using vt::take;

namespace vtm::submit {

namespace {

// A repeated pass starts only while fewer names than this wait in the queue.
constexpr long kQueueBound = 1000;
// Pause of a repeating loop that has nothing to submit, instead of spinning.
constexpr double kIdlePause = 0.01;

// "<module>.<qualname>()" of a callable, as the interpreter names it in its
// own argument errors.
Ref callable_text(const State& st, PyObject* f) {
  Ref qual = Ref::steal(PyObject_GetAttr(f, st.names.__qualname__));
  if (!qual || !PyUnicode_Check(qual.get())) {
    PyErr_Clear();
    return take(PyObject_Str(f));
  }
  Ref mod = Ref::steal(PyObject_GetAttr(f, st.names.__module__));
  if (!mod) PyErr_Clear();
  if (mod && PyUnicode_Check(mod.get()) && !PyUnicode_EqualToUTF8(mod, "builtins"))
    return take(PyUnicode_FromFormat("%U.%U()", mod.get(), qual.get()));
  return take(PyUnicode_FromFormat("%U()", qual.get()));
}

// self._send(**element), the element turned into a fresh dict first.
void submit_one(const Manager& m, PyObject* element) {
  Ref send = seam::send_method(m);
  if (element == Py_None) {
    Ref fname = callable_text(m.st, send);
    vt::raise_format(PyExc_TypeError, "%U argument after ** must be a mapping, not NoneType",
                     fname.get());
  }
  Ref kwargs = take(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), element));
  Ref none = take(PyTuple_New(0));
  take(PyObject_Call(send, none, kwargs));
}

// The program's end has begun: a batch submits nothing more (the manager
// would refuse it), and what it queued before runs.
bool program_ending(const Manager& m) { return m.st.shutting_down.load(); }

// One pass over the caller's container, through self._thread_list_yield.
// The first failing element ends the pass; those before it stay submitted.
// A pass also ends, quietly, once the program's end has begun.
void one_pass(const Manager& m, PyObject* thread_list) {
  Ref gen = seam::thread_list_yield(m, thread_list);
  Ref it = take(PyObject_GetIter(gen));
  while (Ref element = Ref::steal(PyIter_Next(it))) {
    if (program_ending(m)) return;
    try {
      submit_one(m, element);
    } catch (const vt::PyError&) {
      // The end came between the test above and the submission.
      if (!program_ending(m) || !PyErr_ExceptionMatches(m.st.manager_error)) throw;
      PyErr_Clear();
      return;
    }
  }
  if (PyErr_Occurred()) throw vt::PyError{};
}

// Whether fewer than kQueueBound names are waiting.
bool queue_has_room(const Manager& m) {
  Ref bound = take(PyLong_FromLong(kQueueBound));
  return vt::compare(queue::size(m), bound, Py_LT);
}

}  // namespace

Ref send_list_thread(Manager m, Borrowed thread_list) {
  const Names& n = m.st.names;
  manager::BatchRunning running(m);
  if (!m.var().truth(n.duration)) {
    one_pass(m, thread_list);
    return Ref::of(Py_None);
  }
  Ref start = manager::time_now(m.st);
  Ref idle = take(PyFloat_FromDouble(kIdlePause));
  // Past its window the loop only waits for the close; once the program's
  // end has begun no close may come and nothing more is submitted, so it
  // ends and lets the interpreter exit.
  while (m.var().truth(n.switch_) && !program_ending(m)) {
    const bool passed = manager::duration_passed(m, start);
    if (passed) running.end();
    if (!passed && queue_has_room(m)) {
      one_pass(m, thread_list);
      continue;
    }
    vt::call_method(m.st.time, n.sleep, {idle});
  }
  return Ref::of(Py_None);
}

Ref send_list(Manager m, Borrowed thread_list) {
  if (!PyList_Check(thread_list.get()) && !PyTuple_Check(thread_list.get()) &&
      !PySet_Check(thread_list.get()))
    return Ref::of(Py_None);
  m.check_program_running();
  const Names& n = m.st.names;
  Ref target = seam::send_list_thread_method(m);
  Ref args = take(PyTuple_Pack(1, thread_list.get()));
  Ref thread = new_thread(m.st, target, args);
  manager::announce_batch(m);
  try {
    vt::call_method(thread, n.start);
  } catch (const vt::PyError&) {
    manager::withdraw_batch(m);
    throw;
  }
  return Ref::of(Py_None);
}

Ref thread_list_yield(ManagerClass cls, Borrowed thread_list) {
  return take(PyObject_CallOneArg(cls.st.walk, thread_list));
}

}  // namespace vtm::submit
