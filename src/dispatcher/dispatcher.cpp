#include "dispatcher/dispatcher.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "common/call.h"
#include "dispatcher/own.h"
#include "dispatcher/runs.h"
#include "dispatcher/timeout.h"
#include "manager/core.h"
#include "manager/manager.h"
#include "manager/seams.h"
#include "queue/queue.h"
#include "stats/recorder.h"
#include "task/task.h"
#include "worker/worker.h"

using vt::Borrowed;
using vt::check;
using vt::Ref;
using vt::take;

namespace vtm::dispatcher {

using manager::Core;
using manager::core_of;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kPass = std::chrono::milliseconds(10);  // one dispatcher pass
constexpr std::int64_t kPassUs = 10'000;
// Longest idle wait: bounds the delay for work that arrives without a
// wake-up (a name put on the queue directly, the switch cleared by hand).
constexpr int kIdleWaitMs = 100;
// Starts one pass may make at most, whatever the rate: more than any worker
// count admits in practice, so a higher rate means "every free slot".
constexpr double kMaxStartsPerPass = 1e9;
// A slot of the schedule further off than this (about 30 years) is never
// due: a tiny rate cannot overflow the clock.
constexpr double kFarUs = 1e15;
// Names one take reads off the queue at most.
constexpr long kTakeBatch = 64;
// A start more than this behind the pacer's schedule is late.
constexpr std::int64_t kLateUs = 10'000;
// Names counted on the queue but not yet readable (a putter's feeder thread
// is still writing them): looked for again this soon.
constexpr int kPendingWaitMs = 1;

// Removes the last occurrence of `name` from runs. The comparison may run
// Python code that changes the list, so the item is held while it is
// compared and found again by identity before it is removed.
void unlist_run(const collab::Holder& var, const State& st, PyObject* name) {
  Ref runs = var.field(st.names.runs);
  if (!PyList_Check(runs.get())) return;
  for (Py_ssize_t i = PyList_GET_SIZE(runs.get()) - 1; i >= 0; --i) {
    if (i >= PyList_GET_SIZE(runs.get())) continue;
    Ref item = Ref::of(PyList_GET_ITEM(runs.get(), i));
    if (!vt::compare(item, name, Py_EQ)) continue;
    for (Py_ssize_t j = PyList_GET_SIZE(runs.get()) - 1; j >= 0; --j) {
      if (PyList_GET_ITEM(runs.get(), j) == item.get()) {
        check(PySequence_DelItem(runs, j));
        return;
      }
    }
    return;
  }
}

// Sleeps until `deadline` without the GIL.
void sleep_until(Clock::time_point deadline) {
  Py_BEGIN_ALLOW_THREADS
  std::this_thread::sleep_until(deadline);
  Py_END_ALLOW_THREADS
}

enum class Pass {
  Busy,
  Idle,
  Held,     // names are queued, nothing runs, and the worker count admits none
  Pending,  // names are counted on the queue, none could be read yet
};

// A paced manager: a finite start rate, with a schedule of slots.
bool paced(double rate) { return rate > 0 && !std::isinf(rate); }

// The pacer's clock, in stats::monotonic_us: the time _set_pace_clock holds
// it at, else now.
std::int64_t pace_now(const Own& own) {
  const std::int64_t held = own.held_clock_us.load();
  return held >= 0 ? held : stats::monotonic_us();
}

// The intended time of slot k of the schedule.
std::int64_t slot_at(const Own& own, std::int64_t k) {
  const double offset = static_cast<double>(k) * 1e6 / own.schedule_rate;
  return own.origin_us + static_cast<std::int64_t>(std::min(offset, kFarUs));
}

// A new rate for a schedule under way carries it on rather than beginning
// another (which would make a start at once, and forgive what is owed): a
// rate changed step by step, as in a ramp, keeps its pace. The starts owed
// stay owed, counted at the new rate; otherwise the next start comes one
// new interval after the last.
void retime(Own& own, double rate, std::int64_t now) {
  const bool under_way = own.origin_us >= 0 && paced(own.schedule_rate);
  const std::int64_t next = under_way ? slot_at(own, own.next_slot) : 0;
  const std::int64_t last =
      under_way && own.next_slot > 0 ? slot_at(own, own.next_slot - 1) : own.origin_us;
  const double owed =
      under_way && next <= now
          ? std::floor(static_cast<double>(now - own.origin_us) * own.schedule_rate / 1e6) + 1 -
                static_cast<double>(own.next_slot)
          : 0;
  own.schedule_rate = rate;
  own.next_slot = 0;
  if (!under_way) {
    own.origin_us = -1;
  } else if (owed >= 1) {
    // Slot 0 of the new schedule lies far enough back that `owed` are due.
    const double back = std::min((owed - 1) * 1e6 / rate, static_cast<double>(now));
    own.origin_us = now - static_cast<std::int64_t>(back);
  } else {
    const double gap = std::min(1e6 / rate, kFarUs);
    own.origin_us = std::max(now, last + static_cast<std::int64_t>(gap));
  }
}

// How many tasks this pass may start: one by default; with a start rate,
// every slot of the schedule due by now. A start held up (no free worker, a
// stalled target) keeps its slot, so after a stall the starts catch up as
// fast as workers free; while nothing is queued no start is behind, and the
// next one begins the schedule again, at once.
long starts_allowed(Own& own, bool queued) {
  const double rate = own.start_rate.load();
  if (!paced(rate)) own.origin_us = -1;  // no schedule to carry on later
  if (rate <= 0) return 1;
  if (std::isinf(rate)) return queued ? std::numeric_limits<long>::max() : 0;
  const std::int64_t now = pace_now(own);
  if (own.rate_changed.exchange(false) || rate != own.schedule_rate) retime(own, rate, now);
  if (!queued) {
    if (own.origin_us >= 0 && slot_at(own, own.next_slot) < now) own.origin_us = -1;
    return 0;
  }
  if (own.origin_us < 0) {
    own.origin_us = now;
    own.next_slot = 0;
  }
  // (Counted in double: a huge rate makes it huge, not an overflow.)
  const double due = std::floor(static_cast<double>(now - own.origin_us) * rate / 1e6) + 1 -
                     static_cast<double>(own.next_slot);
  return static_cast<long>(std::clamp(due, 0.0, kMaxStartsPerPass));
}

// The dispatcher is about to take a name: from here until the name is
// listed in runs (or withdrawn) nothing else counts the task, so no
// SystemExit may strike and no clear of the records may run. False when it
// must not take one now; throws the SystemExit a close asked for.
bool enter_taking(const Manager& m) {
  Core& core = core_of(m);
  enum class Go { Take, Skip, Stop };
  const Go go = core.gate.settle([&] {
    if (core.raised) return Go::Stop;
    if (core.clearing) return Go::Skip;
    core.phase = Core::Phase::Taking;
    return Go::Take;
  });
  if (go == Go::Stop) {
    // The close's request is delivered here, at a point we control.
    if (Ref exc = vt::deliver_pending(m.st.flush)) {
      PyErr_SetRaisedException(exc.release());
      throw vt::PyError{};
    }
  }
  return go == Go::Take;
}

void leave_taking(const Manager& m) {
  Core& core = core_of(m);
  core.gate.decide([&] {
    if (core.phase == Core::Phase::Taking) core.phase = Core::Phase::InLoop;
  });
}

void withdraw_unstarted(const Manager& m, const collab::Holder& var, PyObject* name,
                        PyObject* error);

// The intended time of the next start under a start rate (its slot in the
// schedule), counting it late when it comes more than a pass behind; -1
// without a rate.
std::int64_t next_intended(Own& own, stats::Recorder& recorder) {
  if (!paced(own.start_rate.load()) || own.origin_us < 0) return -1;
  const std::int64_t intended = slot_at(own, own.next_slot++);
  if (pace_now(own) - intended > kLateUs) recorder.late_start();
  return intended;
}

// Hands a name taken off the queue to _consumer; its start's slot goes with
// its task, whose run _consumer hands it to.
void hand_over(const Manager& m, PyObject* name, std::int64_t intended, std::int64_t slot_free) {
  if (Ref task = manager::task_of(m, name)) task::set_slot(task, intended, slot_free);
  seam::consumer(m, name);
}

// Takes up to `most` names without waiting (a queue found empty now is no
// work for this pass, so a concurrent drain never parks the dispatcher) and
// starts them in order, into `room` free slots. Returns how many names were
// taken: an item that could not be read was skipped and is not one.
long start_some(const Manager& m, const collab::Holder& var, long most, long room) {
  const Names& n = m.st.names;
  Own& own = own_of(m);
  stats::Recorder& recorder = *manager::recorder_of(m);
  if (!enter_taking(m)) return 0;
  struct Leave {
    const Manager& m;
    ~Leave() { leave_taking(m); }
  } leave{m};
  std::vector<Ref> names;
  queue::take_some(m, var, static_cast<std::size_t>(std::max(most, 0L)), names);
  if (names.empty()) return 0;
  var.set(n.done, Py_False);
  var.set(n.is_run, Py_True);
  std::size_t i = 0;
  try {
    for (; i < names.size(); ++i) {
      const std::int64_t intended = next_intended(own, recorder);
      const std::int64_t slot_free = recorder.take_slot(room - static_cast<long>(i));
      // A start that fails is logged as a failed pass is, and the names
      // taken with it still start.
      vt::catching(
          PyExc_Exception, [&] { hand_over(m, names[i], intended, slot_free); },
          [&](const Ref& exc) {
            vt::quietly([&] {
              collab::log_error(m.st, m.sink(), collab::Level::Debug, "Run error: ", exc);
            });
          });
    }
  } catch (const vt::PyError&) {
    // Anything else ends the pass; the names taken with it and not yet
    // handed over are counted nowhere else: they are withdrawn rather than
    // lost.
    vt::StashedError failure;
    for (std::size_t j = i + 1; j < names.size(); ++j)
      vt::quietly([&] { withdraw_unstarted(m, var, names[j], nullptr); });
    throw;
  }
  return static_cast<long>(names.size());
}

// How many more tasks may run beside `running`: max_workers minus running
// when it is a plain int, else 1 or 0 as Python compares them.
long room_for(const Manager& m, const collab::Holder& var, long running) {
  Ref most = var.field(m.st.names.max_workers);
  if (PyLong_CheckExact(most.get())) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(most, &overflow);
    if (v == -1 && PyErr_Occurred()) throw vt::PyError{};
    if (overflow > 0) return std::numeric_limits<long>::max();
    if (overflow < 0) return 0;
    return static_cast<long>(std::clamp<long long>(v - running, 0, kMaxStartsPerPass));
  }
  Ref count = take(PyLong_FromLong(running));
  return vt::compare(count, most, Py_LT) ? 1 : 0;
}

// What the start step of a pass leaves.
struct Starts {
  long running;          // the running count, the starts made included
  long started = 0;      // names taken and handed to _consumer
  bool held = false;     // names are queued, nothing runs, and the worker count admits none
  bool pending = false;  // names are counted on the queue, none could be read yet
};

// The start step: the starts the pace allows, while slots are free.
Starts start_step(const Manager& m, Own& own, const collab::Holder& var, long running,
                  bool queued) {
  Starts s{running};
  long allowed = starts_allowed(own, queued);
  while (queued && allowed > 0) {
    long room = room_for(m, var, s.running);
    if (room <= 0 && s.started > 0) {
      // Runs may have ended since the pass counted them.
      s.running = static_cast<long>(queue::running(m, var));
      room = room_for(m, var, s.running);
    }
    if (room <= 0) {
      s.held = s.running <= 0;
      own.starts_waiting = true;
      break;
    }
    const long took = start_some(m, var, std::min({allowed, room, kTakeBatch}), room);
    if (took == 0) {
      s.pending = s.started == 0;
      break;
    }
    s.running += took;
    s.started += took;
    allowed -= took;
  }
  return s;
}

// One pass: the running count, the start step, the completion step.
Pass dispatch_pass(const Manager& m) {
  const Names& n = m.st.names;
  Own& own = own_of(m);
  stats::Recorder& recorder = *manager::recorder_of(m);
  expire(m);  // first: a run it ends frees its slot for this pass
  own.pass_us = pace_now(own);
  own.starts_waiting = false;
  collab::Holder var = m.var();
  const auto counted = static_cast<long>(queue::running(m, var));
  const bool queued = queue::size_is(queue::size(m), Py_GT);
  const Starts starts = start_step(m, own, var, counted, queued);
  const long running = starts.running;
  const bool working = var.truth(n.is_run);
  // An idle manager (nothing queued, started or running, not working) has
  // no completion to detect: its pass ends here.
  own.names_left = queued;
  if (!working && !queued && running == 0) {
    recorder.tick(0, 0, false);
    recorder.slots_idle();
    return Pass::Idle;
  }
  Ref size = queue::size(m);
  const bool empty = queue::size_is(size, Py_EQ);
  own.names_left = !empty;
  const long long waiting = PyLong_Check(size.get()) ? PyLong_AsLongLong(size) : 0;
  if (waiting == -1 && PyErr_Occurred()) throw vt::PyError{};
  recorder.tick(static_cast<std::uint32_t>(std::clamp<long long>(waiting, 0, 0xffffffffLL)),
                static_cast<std::uint32_t>(std::max(running, 0L)), !empty || running > 0);
  if (starts.held) return Pass::Held;
  if (starts.pending && !empty) return Pass::Pending;
  if (!empty || running != 0 || starts.started) return Pass::Busy;
  if (working) {
    var.set(n.done, Py_True);
    var.set(n.is_run, Py_False);
  }
  recorder.slots_idle();
  return Pass::Idle;
}

// The dispatcher ends at program end: from now on nothing runs what is
// queued, so a name queued meanwhile is withdrawn ("取消") rather than left
// waiting for ever.
void retire(const Manager& m) {
  own_of(m).retired.store(true);
  queue::withdraw_all(m);
}

void set_phase(const Manager& m, Core::Phase phase) {
  core_of(m).gate.decide([&] { core_of(m).phase = phase; });
}

// Whether a paced manager's next pass is due: at its next slot while a
// worker is free for it, at the end of a run while due starts wait for a
// worker, at new work while nothing is queued, and a pass (10 ms) after the
// last one in any case (the time-out, the history's seconds, the completion
// step). When it is not, waits without the GIL until the nearest of these
// (at most a pass) and says so; the caller tests the switch again.
bool paced_pass_due(const Manager& m, std::uint64_t seen) {
  Own& own = own_of(m);
  const bool on_kick = own.starts_waiting || !own.names_left;
  std::int64_t until = own.pass_us + kPassUs;
  if (!on_kick)
    until = std::min(until, own.origin_us >= 0 ? slot_at(own, own.next_slot) : own.pass_us);
  const std::int64_t now = pace_now(own);
  // (A clock that went back, as a held one may, is no reason to wait.)
  if (now >= until || until - now > kPassUs) return true;
  if (on_kick && own.park->kicks.load() != seen) return true;
  // A held clock does not move by itself: look again a pass later.
  const std::int64_t wait_us = own.held_clock_us.load() >= 0 ? kPassUs : until - now;
  // (At the program's end a parking returns at once: the runs still in
  // flight are waited for by sleeping instead, not by spinning.)
  if (on_kick && !m.st.shutting_down.load())
    vt::park(own.park.get(), m.st.shutting_down, seen, static_cast<int>((wait_us + 999) / 1000));
  else
    sleep_until(Clock::now() + std::chrono::microseconds(wait_us));
  return false;
}

// Waits up to `ms` for new work or the end of a run. At the program's end a
// parking returns at once, so the runs still in flight are waited for by
// sleeping instead of spinning.
void wait_for_work(const Manager& m, std::uint64_t seen, int ms) {
  if (m.st.shutting_down.load())
    sleep_until(Clock::now() + std::chrono::milliseconds(ms));
  else
    vt::park(own_of(m).park.get(), m.st.shutting_down, seen, ms);
}

// The dispatcher loop, on its own thread. A pass that fails with an
// Exception is logged and the loop goes on; anything else ends it.
void run_loop(const Manager& m) {
  Own& own = own_of(m);
  Clock::time_point deadline = Clock::now() + kPass;
  std::uint64_t seen = 0;
  while (m.var().truth(m.st.names.switch_)) {
    // The default pace keeps a steady 10 ms rhythm, one start a pass; after
    // a stall the rhythm restarts from now instead of bursting to catch up.
    // A start rate passes when a start or a run's end calls for it; the
    // unlimited pace waits for work instead (below).
    const double rate = own.start_rate.load();
    const bool eager = std::isinf(rate);
    if (paced(rate)) {
      if (!paced_pass_due(m, seen)) continue;
    } else if (!eager) {
      sleep_until(deadline);
      const Clock::time_point now = Clock::now();
      deadline += kPass;
      if (deadline < now) deadline = now + kPass;
    }
    seen = own.park->kicks.load();
    Pass pass = Pass::Busy;
    bool failed = false;
    vt::catching(
        PyExc_Exception, [&] { pass = dispatch_pass(m); },
        [&](const Ref& exc) {
          failed = true;
          // A failing sink must not end the dispatcher either.
          vt::quietly(
              [&] { collab::log_error(m.st, m.sink(), collab::Level::Debug, "Run error: ", exc); });
        });
    // The main thread has finished and nothing is left to do, nor will be
    // by a batch still submitting: end, so the interpreter's wait for its
    // threads does not hang on this one. A queue held by a worker count that
    // admits no task would never drain: it is withdrawn.
    const bool busy = pass == Pass::Busy || pass == Pass::Pending;
    if (!busy && m.st.shutting_down.load() && core_of(m).batches.load() == 0) {
      retire(m);
      break;
    }
    // Nothing queued or running: wait for new work rather than poll.
    if (pass == Pass::Idle) {
      wait_for_work(m, seen, kIdleWaitMs);
    } else if (pass == Pass::Pending && (eager || paced(rate))) {
      wait_for_work(m, seen, kPendingWaitMs);
    } else if (eager || (failed && paced(rate))) {
      // Until a run ends or a name is queued; a pass at least every 10 ms
      // keeps the history's seconds and the completion step going. (A
      // paced pass that failed may have left a due slot behind: it must not
      // be tried again at once.)
      wait_for_work(m, seen, static_cast<int>(kPass.count()));
    }
  }
}

// A task that will never run (its thread could not be made or started, or
// the manager was closed as it was taken) is withdrawn ("取消") rather than
// left waiting for ever, with the error, if any, as its result when results
// are kept.
void withdraw_unstarted(const Manager& m, const collab::Holder& var, PyObject* name,
                        PyObject* error) {
  const Names& n = m.st.names;
  Ref rec = m.table(var).record(name);
  if (!rec) return;
  collab::Holder record(m.st, rec);
  if (error && var.truth(n.reserve)) record.set(n.result, error);
  record.set(n.status, m.st.status.cancelled);
  var.append(n.cancels, name);
}

// Lists `name` in runs (`listed` says when it is) and starts its run, handing
// the run the start its task carries.
void start_listed(const Manager& m, const collab::Holder& var, Borrowed name, bool& listed) {
  const Names& n = m.st.names;
  // The name read back from the queue is a copy of the submitted one; the
  // list keeps the submitted one, so a task's name is stored once.
  Ref task = manager::task_of(m, name);
  var.append(n.runs, task ? task::name(task) : name.own());
  listed = true;
  Ref rec = m.table(var).record(name);
  if (!rec) vt::raise_format(PyExc_KeyError, "Task <%S> has no record", name.get());
  Ref thread = seam::record_thread(m, collab::Holder(m.st, rec));
  // A name queued again after its run (a re-run) holds no startable
  // thread: its run gets a fresh worker and thread from the arguments its
  // task keeps, and its record the thread.
  if (thread.is(Py_None) || !take(PyObject_GetAttr(thread, n.ident)).is(Py_None)) {
    if (!task) vt::raise_format(PyExc_RuntimeError, "Task <%S> has no thread to start", name.get());
    thread = task::new_run(task);
    if (Ref again = m.table(var).record(name)) collab::Holder(m.st, again).set(n.thread, thread);
  }
  Ref worker = task ? task::worker(task) : Ref();
  start_task(m, name, thread, worker, worker ? task::take_start(task) : worker::Start{});
}

}  // namespace

Own& own_of(const Manager& m) {
  std::shared_ptr<Own>& own = core_of(m).dispatcher;
  if (!own) own = std::make_shared<Own>();
  return *own;
}

Ref consumer(Manager m, Borrowed name) {
  const Names& n = m.st.names;
  collab::Holder var = m.var();
  Ref lock = var.field(n.lock);
  vt::call_method(lock, n.acquire);
  bool listed = false;
  try {
    if (!var.truth(n.switch_)) {
      // A name taken just as the manager was closed is withdrawn with the
      // rest of the queue rather than started.
      withdraw_unstarted(m, var, name, nullptr);
    } else {
      start_listed(m, var, name, listed);
    }
  } catch (const vt::PyError&) {
    // The lock is released on every way out, and a name whose thread did
    // not start does not count as running. A stop of the dispatcher itself
    // (SystemExit) may strike after the thread has started: only an
    // ordinary failure means it did not start.
    vt::StashedError failure;
    if (listed && failure.matches(PyExc_Exception)) {
      vt::quietly([&] { unlist_run(var, m.st, name); });
      vt::quietly([&] { withdraw_unstarted(m, var, name, failure.get()); });
    }
    vt::quietly([&] { vt::call_method(lock, n.release); });
    throw;
  }
  vt::call_method(lock, n.release);
  return Ref::of(Py_None);
}

Ref queue_init(Manager m) {
  Ref keep_alive = Ref::of(m.self);
  Core& core = core_of(m);
  note_dispatcher(m);  // before a close may raise SystemExit in this thread
  set_phase(m, Core::Phase::InLoop);
  Ref ended;  // what ended the loop, when not the switch
  vt::catching(PyExc_BaseException, [&] { run_loop(m); }, [&](const Ref& exc) { ended = exc; });
  // A close that asked this thread to stop must have made its request
  // before the loop is marked left; one made after never comes.
  const bool raised = core.gate.settle([&] {
    core.phase = Core::Phase::Exited;
    return core.raised;
  });
  // A request that arrived after the last loop test is delivered here, at a
  // point we control, not later inside the threading library's own code.
  vt::deliver_pending(m.st.flush);
  retire_runners(m);
  // The close's SystemExit ends the loop wherever it lands (a pass may be
  // in a subclass's Python code): it is how a close ends the dispatcher,
  // not a failure to report.
  if (ended && !(raised && PyErr_GivenExceptionMatches(ended, PyExc_SystemExit))) {
    PyErr_SetRaisedException(ended.release());
    throw vt::PyError{};
  }
  return Ref::of(Py_None);
}

Ref start(Manager m) {
  const Names& n = m.st.names;
  Ref target = seam::queue_init_method(m);
  Ref thread = new_thread(m.st, target);
  collab::Holder var = m.var();
  var.set(n.thread_init, thread);
  vt::call_method(var.field(n.thread_init), n.start);
  return Ref::of(Py_None);
}

Ref set_start_rate(Manager m, vt::PositiveOrNone per_second) {
  m.check_while();
  const double rate = per_second.number(
      {"the start rate must be a number of starts per second or None, not %.100s",
       "the start rate must be a positive number (math.inf: no limit), not %R", true});
  Own& own = own_of(m);
  own.start_rate.store(rate);
  own.rate_changed.store(true);
  m.log_setting("Start rate", per_second);
  return Ref::of(Py_True);
}

Ref set_pace_clock(Manager m, Borrowed seconds) {
  m.check_while();
  std::int64_t held = -1;
  if (!seconds.is(Py_None)) {
    if (PyBool_Check(seconds.get()) ||
        !(PyLong_Check(seconds.get()) || PyFloat_Check(seconds.get())))
      vt::raise_format(PyExc_TypeError,
                       "the pace clock must be a time in seconds or None, not %.100s",
                       Py_TYPE(seconds.get())->tp_name);
    const double s = PyFloat_AsDouble(seconds);
    if (s == -1.0 && PyErr_Occurred()) throw vt::PyError{};
    if (!(s >= 0 && s < kFarUs / 1e6))
      vt::raise_format(PyExc_ValueError,
                       "the pace clock must be a time of time.monotonic(), not %R", seconds.get());
    held = std::llround(s * 1e6);
  }
  own_of(m).held_clock_us.store(held);
  // A dispatcher waiting for a run to end or for work looks at the new time.
  vt::wake(own_of(m).park.get());
  return Ref::of(Py_True);
}

void wake(const Manager& m) { vt::wake(own_of(m).park.get()); }

bool holds_name(const Manager& m) {
  Core& core = core_of(m);
  return core.gate.decide([&] { return core.phase == Core::Phase::Taking; });
}

bool retired(const Manager& m) { return own_of(m).retired.load(); }

void stop(const Manager& m) {
  Core& core = core_of(m);
  // A parked dispatcher must come back to its loop test now.
  vt::wake(own_of(m).park.get());
  // A dispatcher in the middle of a take finishes it (the name is then
  // withdrawn, the manager being closed) and leaves its loop by itself.
  const bool in_loop = core.gate.decide([&] {
    if (core.phase != Core::Phase::InLoop) return false;
    core.raised = true;
    core.gate.begin_raise_locked();
    return true;
  });
  if (!in_loop) return;
  vt::RaiseGate::Raising raising(core.gate);
  Ref thread = m.var().field(m.st.names.thread_init);
  Ref ident = take(PyObject_GetAttr(thread, m.st.names.ident));
  seam::raise_system_exit(m, ident);
}

}  // namespace vtm::dispatcher
