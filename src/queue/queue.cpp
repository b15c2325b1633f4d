#include "queue/queue.h"

#include <poll.h>

#include <chrono>

#include "common/call.h"
#include "manager/seams.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::queue {

namespace {

constexpr double kDrainTimeout = 0.2;     // seconds one take may wait for a name
constexpr std::size_t kDrainBatch = 512;  // names one take of a drain reads at most
// Seconds a drain goes on waiting while names are counted but none arrives
// and no other reader takes any.
constexpr auto kDrainStall = std::chrono::seconds(2);

}  // namespace

Ref size(const Manager& m) { return seam::get_qsize(m); }

Ref size_now(const Manager& m, const collab::Holder& var) {
  return vt::call_method(var.field(m.st.names.queue), m.st.names.qsize);
}

bool size_is(Borrowed size, int op) {
  Ref zero = take(PyLong_FromLong(0));
  return vt::compare(size, zero, op);
}

namespace {

// The queue's own get: without waiting (a queue of another kind, or a
// closed one), or waiting up to `timeout` seconds. A null Ref when it has
// no name. A failure after which the queue holds fewer items means an item
// left it and could not be read: its error goes to `unreadable` and the take
// gives nothing; any other failure goes on.
Ref get_one(const Manager& m, Borrowed q, Borrowed timeout, std::vector<Ref>& unreadable) {
  const Names& n = m.st.names;
  Ref before;  // without it, no failure counts as an unreadable item
  vt::catching(PyExc_Exception, [&] { before = vt::call_method(q, n.qsize); }, [](const Ref&) {});
  try {
    return timeout ? vt::call_method(q, n.get, {Py_True, timeout})
                   : vt::call_method(q, n.get, {Py_False});
  } catch (const vt::PyError&) {
    if (PyErr_ExceptionMatches(m.st.queue_empty)) {
      PyErr_Clear();
      return Ref();
    }
    if (!before || !PyErr_ExceptionMatches(PyExc_Exception)) throw;
    bool left = false;
    {
      vt::StashedError failure;
      vt::quietly([&] { left = vt::compare(vt::call_method(q, n.qsize), before, Py_LT); });
    }
    if (!left) throw;
    unreadable.push_back(Ref::steal(PyErr_GetRaisedException()));
    return Ref();
  }
}

// Whether a whole item (or the writer's end) is waiting on `fd` now.
bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

// take_some without the log: what could not be read goes to `unreadable`.
// What get(False) does, item by item, but the readiness test is one poll()
// of the reader's descriptor instead of a selector built for every call,
// and one hold of the reading lock covers several items. Items are
// unpickled after the lock is released, as get does, each on its own: one
// that cannot be read loses none of the others.
std::size_t read_some(const Manager& m, Borrowed q, std::size_t most, std::vector<Ref>& out,
                      std::vector<Ref>& unreadable) {
  const Names& n = m.st.names;
  auto reader = m.st.priv.queue_reader(q);
  if (!reader) {
    const std::size_t skipped = unreadable.size();
    Ref name = get_one(m, q, Borrowed(), unreadable);
    if (!name) return unreadable.size() - skipped;
    out.push_back(std::move(name));
    return 1;
  }
  const int fd = reader->fd;
  Ref rlock = reader->rlock;
  // Another reader (a drain at close) holds the queue: nothing for now.
  if (!vt::truth(vt::call_method(rlock, n.acquire, {Py_False}))) return 0;
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
    vt::catching(
        PyExc_Exception,
        [&] { out.push_back(take(PyObject_CallOneArg(m.st.pickle_loads, bytes))); },
        [&](const Ref& exc) { unreadable.push_back(exc); });
  return raw.size();
}

// An item that cannot be read is logged as a failed pass is, never while
// the queue's reading lock is held: the sink runs Python code.
void log_run_error(const Manager& m, Borrowed exc) {
  vt::quietly([&] { collab::log_error(m.st, m.sink(), collab::Level::Debug, "Run error: ", exc); });
}

void log_unreadable(const Manager& m, const std::vector<Ref>& unreadable) {
  for (const Ref& exc : unreadable) log_run_error(m, exc);
}

// Withdraws one item taken off the queue: its task becomes "取消" and is
// listed in cancels. An item that names no task (no record, or none can be
// looked up) is no task to count: it is logged as the dispatcher logs it,
// and skipped.
void withdraw(const Manager& m, const collab::Holder& var, Borrowed name) {
  const Names& n = m.st.names;
  Ref rec;
  vt::catching(
      PyExc_Exception,
      [&] {
        rec = m.table(var).record(name);
        if (!rec) vt::raise_format(PyExc_KeyError, "Task <%S> has no record", name.get());
      },
      [&](const Ref& exc) { log_run_error(m, exc); });
  if (!rec) return;
  collab::Holder(m.st, rec).set(n.status, m.st.status.cancelled);
  var.append(n.cancels, name);
}

}  // namespace

std::size_t take_some(const Manager& m, const collab::Holder& var, std::size_t most,
                      std::vector<Ref>& out) {
  if (most == 0) return 0;
  std::vector<Ref> unreadable;
  const std::size_t taken = read_some(m, var.field(m.st.names.queue), most, out, unreadable);
  log_unreadable(m, unreadable);
  return taken;
}

void withdraw_all(const Manager& m) {
  const Names& n = m.st.names;
  collab::Holder var = m.var();
  Ref q = var.field(n.queue);
  Ref timeout = take(PyFloat_FromDouble(kDrainTimeout));
  // Drain while names are counted: what is ready now in batches, then a
  // take waiting briefly (a name put just before may still be on its way
  // into the queue). A wait that finds nothing does not end the drain while
  // the count goes down (another drain reads them) or for kDrainStall: the
  // queue's feeder thread may be waiting for the interpreter with names it
  // has not written yet, and a drain that ended then would leave them
  // pending for ever, and beyond a pipe's worth, a feeder that blocks the
  // program's exit. It never waits for ever. An item that cannot be read is
  // skipped and the drain goes on.
  using Clock = std::chrono::steady_clock;
  std::vector<Ref> names;
  std::vector<Ref> unreadable;
  Ref last;
  auto moved = Clock::now();
  for (Ref size; size_is(size = vt::call_method(q, n.qsize), Py_GT); last = std::move(size)) {
    if (last && vt::compare(size, last, Py_LT)) moved = Clock::now();
    names.clear();
    unreadable.clear();
    try {
      if (take_some(m, var, kDrainBatch, names) == 0) {
        if (Ref name = get_one(m, q, timeout, unreadable)) names.push_back(std::move(name));
        log_unreadable(m, unreadable);
        if (names.empty() && unreadable.empty()) {
          if (Clock::now() - moved > kDrainStall) break;
          continue;
        }
      }
    } catch (const vt::PyError&) {
      // A close on another thread has drained and closed the queue.
      if (!m.closed_meanwhile()) throw;
      PyErr_Clear();
      break;
    }
    moved = Clock::now();
    for (const Ref& name : names) withdraw(m, var, name);
  }
}

Py_ssize_t running(const Manager& m, const collab::Holder& var) {
  const Names& n = m.st.names;
  const Py_ssize_t runs = var.len(n.runs);
  const Py_ssize_t dones = var.len(n.dones);
  return running_of(runs, dones, var.len(n.stops));
}

}  // namespace vtm::queue
