#include "dispatcher/runs.h"

#include <algorithm>

#include "common/call.h"
#include "dispatcher/dispatcher.h"
#include "dispatcher/own.h"
#include "worker/worker.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::dispatcher {

namespace {

// More idle runners than this are never kept, whatever max_workers says.
constexpr long kMostKept = 1024;

// The pool keeps as many idle runners as tasks may run at once.
void keep_for(const Manager& m, Own& own) {
  Ref most = m.var().field(m.st.names.max_workers);
  if (!PyLong_CheckExact(most.get())) return;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(most, &overflow);
  if (v == -1 && PyErr_Occurred()) throw vt::PyError{};
  const long long kept = overflow > 0 ? kMostKept : overflow < 0 ? 0 : v;
  own.runners.set_keep(static_cast<std::size_t>(std::clamp<long long>(kept, 0, kMostKept)));
}

// A run on a runner: the thread is made to read as started there, then
// handed over, its worker handed its start first. False when it must start
// as a new OS thread instead.
bool start_on_runner(const Manager& m, Own& own, Borrowed thread, Borrowed worker,
                     worker::Start& start) {
  if (own.fresh_threads.load() || own.thread.load() != Own::Thread::Plain || !m.st.priv.can_adopt())
    return false;
  // CPython does not wait for a daemon thread at exit; the dispatcher would.
  // (A stand-in without the attribute starts as it says it does.)
  PyObject* daemon = nullptr;
  vt::check(PyObject_GetOptionalAttr(thread, m.st.names.daemon, &daemon));
  if (!daemon || vt::truth(Ref::steal(daemon))) return false;
  keep_for(m, own);
  auto slot = own.runners.reserve();
  if (!slot) return false;  // closed, or made before a fork
  vt::PrivateNames::Adopted adopted;
  try {
    adopted = m.st.priv.adopt(thread, slot->ident);
  } catch (const vt::PyError&) {
    own.runners.cancel(*slot);
    throw;
  }
  if (!adopted) {
    own.runners.cancel(*slot);
    return false;
  }
  if (worker) worker::hand_start(worker, std::move(start));
  own.runners.give(*slot, std::move(adopted.bootstrap), std::move(adopted.set_done), own.park);
  return true;
}

}  // namespace

void note_dispatcher(const Manager& m) {
  // Unknown (a new OS thread per task) when it cannot be told.
  vt::quietly([&] {
    Ref current = vt::call_method(m.st.threading, m.st.names.current_thread);
    const bool daemon = vt::truth(take(PyObject_GetAttr(current, m.st.names.daemon)));
    own_of(m).thread.store(daemon ? Own::Thread::Daemon : Own::Thread::Plain);
  });
}

namespace {

// The entries of `started` whose thread is still there and has not ended,
// each with the thread itself.
std::vector<std::pair<Ref, Ref>> live_runs(const Manager& m, Own& own,
                                           std::vector<Ref>* threads = nullptr) {
  std::vector<std::pair<Ref, Ref>> live;
  for (const auto& entry : std::vector<std::pair<Ref, Ref>>(own.started)) {
    PyObject* found = nullptr;
    vt::check(PyWeakref_GetRef(entry.first, &found));
    Ref thread = Ref::steal(found);
    if (!thread || !vt::truth(vt::call_method(thread, m.st.names.is_alive))) continue;
    live.push_back(entry);
    if (threads) threads->push_back(std::move(thread));
  }
  return live;
}

}  // namespace

void start_task(const Manager& m, Borrowed name, Borrowed thread, Borrowed worker,
                worker::Start start) {
  Own& own = own_of(m);
  if (!start_on_runner(m, own, thread, worker, start)) {
    // The worker wakes the dispatcher: no runner will.
    start.on_end = own.park;
    if (worker) worker::hand_start(worker, std::move(start));
    m.st.priv.start_thread(thread);
  }
  // The entries of ended threads are dropped each time the list has
  // doubled since, so a start pays a constant amount for it on average.
  if (own.started.size() >= own.prune_at) {
    own.started = live_runs(m, own);
    own.prune_at = std::max<std::size_t>(16, own.started.size() * 2);
  }
  // Weakly: a thread that has ended is gone at once with what it holds (a
  // live one is held by its runner or by threading). A stand-in that takes
  // no weak reference is not listed.
  PyObject* ref = PyWeakref_NewRef(thread, nullptr);
  if (!ref) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw vt::PyError{};
    PyErr_Clear();
    return;
  }
  own.started.emplace_back(Ref::steal(ref), name.own());
}

Ref get_running_threads(Manager m) {
  Own& own = own_of(m);
  std::vector<Ref> threads;
  own.started = live_runs(m, own, &threads);
  Ref out = take(PyList_New(0));
  for (std::size_t i = 0; i < threads.size(); ++i) {
    Ref pair = take(PyTuple_Pack(2, own.started[i].second.get(), threads[i].get()));
    vt::list_append(out, pair);
  }
  return out;
}

void retire_runners(const Manager& m) {
  Own& own = own_of(m);
  own.runners.close();
  if (own.runners.in_flight() == 0) return;
  Ref waiter = own.runners.waiter();
  // Without a thread to spare, the dispatcher waits itself.
  vt::catching(
      PyExc_Exception, [&] { vt::call_method(new_thread(m.st, waiter), m.st.names.start); },
      [&](const Ref&) { take(PyObject_CallNoArgs(waiter)); });
}

Ref set_fresh_threads(Manager m, Borrowed flag) {
  m.check_while();
  if (!PyBool_Check(flag.get()))
    vt::raise_format(PyExc_TypeError, "the flag must be True or False, not %.100s",
                     Py_TYPE(flag.get())->tp_name);
  own_of(m).fresh_threads.store(flag.is(Py_True));
  m.log_setting("Fresh threads", flag);
  return Ref::of(Py_True);
}

}  // namespace vtm::dispatcher
