#include "queue/queue.h"

#include <poll.h>

#include "common/call.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::queue {

namespace {

constexpr double kDrainTimeout = 0.2;  // seconds one take may wait for a name
constexpr std::size_t kDrainBatch = 512;  // names one take of a drain reads at most

}  // namespace

Ref size(const Manager& m) { return m.call(m.st.names._get_qsize); }

Ref size_now(const Manager& m, const collab::Holder& var) {
  return vt::call_method(var.field(m.st.names.queue), m.st.names.qsize);
}

bool size_is(Borrowed size, int op) {
  Ref zero = take(PyLong_FromLong(0));
  return vt::compare(size, zero, op);
}

namespace {

// The queue's own get(False), for a queue of another kind or a closed one.
Ref get_now(const Manager& m, Borrowed q) {
  const Names& n = m.st.names;
  try {
    return vt::call_method(q, n.get, {Py_False});
  } catch (const vt::PyError&) {
    if (!PyErr_ExceptionMatches(m.st.queue_empty)) throw;
    PyErr_Clear();
    return Ref();
  }
}

// Whether a whole item (or the writer's end) is waiting on `fd` now.
bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

}  // namespace

Ref take_now(const Manager& m, const collab::Holder& var) {
  std::vector<Ref> one;
  take_some(m, var, 1, one);
  return one.empty() ? Ref() : std::move(one.front());
}

// What get(False) does, item by item, but the readiness test is one poll()
// of the reader's descriptor instead of a selector built for every call,
// and one hold of the reading lock covers several items. Items are
// unpickled after the lock is released, as get does.
void take_some(const Manager& m, const collab::Holder& var, std::size_t most,
               std::vector<Ref>& out) {
  const Names& n = m.st.names;
  Ref q = var.field(n.queue);
  auto reader = most ? m.st.priv.queue_reader(q) : std::nullopt;
  if (!reader) {
    if (most == 0) return;
    if (Ref name = get_now(m, q)) out.push_back(std::move(name));
    return;
  }
  const int fd = reader->fd;
  Ref rlock = reader->rlock;
  // Another reader (a drain at close) holds the queue: nothing for now.
  if (!vt::truth(vt::call_method(rlock, n.acquire, {Py_False}))) return;
  std::vector<Ref> raw;
  try {
    Ref sem = reader->sem;
    while (raw.size() < most && readable(fd)) {
      raw.push_back(take(PyObject_CallNoArgs(reader->recv_bytes)));
      vt::call_method(sem, n.release);
    }
  } catch (const vt::PyError&) {
    vt::StashedError failure;
    vt::quietly([&] { vt::call_method(rlock, n.release); });
    throw;
  }
  vt::call_method(rlock, n.release);
  for (const Ref& bytes : raw)
    out.push_back(take(PyObject_CallOneArg(m.st.pickle_loads, bytes)));
}

void withdraw_all(const Manager& m) {
  const Names& n = m.st.names;
  collab::Holder var = m.var();
  Ref q = var.field(n.queue);
  Ref timeout = take(PyFloat_FromDouble(kDrainTimeout));
  // Drain while names are counted: what is ready now in batches, then a
  // take waiting briefly (a name put just before may still be on its way
  // into the queue); the first wait that finds nothing ends the drain, so
  // it never waits for ever.
  std::vector<Ref> names;
  while (size_is(vt::call_method(q, n.qsize), Py_GT)) {
    names.clear();
    try {
      take_some(m, var, kDrainBatch, names);
      if (names.empty()) names.push_back(vt::call_method(q, n.get, {Py_True, timeout}));
    } catch (const vt::PyError&) {
      // Nothing came, or a close on another thread has drained and closed
      // the queue.
      if (!PyErr_ExceptionMatches(m.st.queue_empty) && !m.closed_meanwhile()) throw;
      PyErr_Clear();
      break;
    }
    for (const Ref& name : names) {
      if (Ref rec = m.table(var).record(name))
        collab::Holder(m.st, rec).set(n.status, m.st.status.cancelled);
      var.append(n.cancels, name);
    }
  }
}

Py_ssize_t running(const Manager& m, const collab::Holder& var) {
  const Names& n = m.st.names;
  const Py_ssize_t runs = var.len(n.runs);
  const Py_ssize_t dones = var.len(n.dones);
  return running_of(runs, dones, var.len(n.stops));
}

}  // namespace vtm::queue
