#include "queue/queue.h"

#include "common/call.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::queue {

namespace {

constexpr double kDrainTimeout = 0.2;  // seconds one take may wait for a name

}  // namespace

Ref size(const Manager& m) { return m.call(m.st.names._get_qsize); }

Ref size_now(const Manager& m, const collab::Holder& var) {
  return vt::call_method(var.field(m.st.names.queue), m.st.names.qsize);
}

bool size_is(Borrowed size, int op) {
  Ref zero = take(PyLong_FromLong(0));
  return vt::compare(size, zero, op);
}

Ref take_now(const Manager& m, const collab::Holder& var) {
  const Names& n = m.st.names;
  Ref q = var.field(n.queue);
  try {
    return vt::call_method(q, n.get, {Py_False});
  } catch (const vt::PyError&) {
    if (!PyErr_ExceptionMatches(m.st.queue_empty)) throw;
    PyErr_Clear();
    return Ref();
  }
}

void withdraw_all(const Manager& m) {
  const Names& n = m.st.names;
  collab::Holder var = m.var();
  Ref q = var.field(n.queue);
  Ref timeout = take(PyFloat_FromDouble(kDrainTimeout));
  // Drain while names are counted, each take waiting briefly (a name put
  // just before may still be on its way into the queue); the first take
  // that finds nothing ends the drain, so it never waits for ever.
  while (size_is(vt::call_method(q, n.qsize), Py_GT)) {
    Ref name;
    try {
      name = vt::call_method(q, n.get, {Py_True, timeout});
    } catch (const vt::PyError&) {
      // Nothing came, or a close on another thread has drained and closed
      // the queue.
      if (!PyErr_ExceptionMatches(m.st.queue_empty) && !m.closed_meanwhile()) throw;
      PyErr_Clear();
      break;
    }
    if (Ref rec = m.table(var).record(name))
      collab::Holder(m.st, rec).set(n.status, m.st.status.cancelled);
    var.append(n.cancels, name);
  }
}

Py_ssize_t running(const Manager& m, const collab::Holder& var) {
  const Names& n = m.st.names;
  const Py_ssize_t runs = var.len(n.runs);
  const Py_ssize_t dones = var.len(n.dones);
  return running_of(runs, dones, var.len(n.stops));
}

}  // namespace vtm::queue
