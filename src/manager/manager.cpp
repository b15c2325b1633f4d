#include "manager/manager.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include "common/call.h"
#include "common/raise_gate.h"
#include "stop/stop.h"
#include "task/task.h"
#include "worker/worker.h"

using vt::Borrowed;
using vt::check;
using vt::Ref;
using vt::take;

namespace vtm {

namespace {

constexpr const char* kStopped = "The manager has stopped";
constexpr long kPassNs = 10'000'000;  // one dispatcher pass: 10 ms
constexpr long kWorkerCap = 30;
// Longest idle wait: bounds the delay for work that arrives without a
// wake-up (a name put on the queue directly, the switch cleared by hand).
constexpr int kIdleWaitMs = 100;
// With a start rate, starts earned and not made (nothing to start, or the
// dispatcher held up) are kept for at most this long.
constexpr double kMaxCatchUpSeconds = 0.1;

// The C++ side of a manager: made with the object, gone with it.
struct Core {
  manager::Parking park;  // the dispatcher's idle wait
  // Decides, between a close and the dispatcher, whether SystemExit may be
  // raised in the dispatcher thread: in its loop, but not while it holds a
  // name it has taken off the queue and not yet listed in runs (Taking),
  // nor after it has left the loop. Also keeps a clear of the records and
  // a take apart.
  vt::RaiseGate gate;
  enum class Phase { NotStarted, InLoop, Taking, Exited } phase = Phase::NotStarted;
  bool raised = false;    // a close has asked for SystemExit
  bool clearing = false;  // _clear_record is at work
  stats::RecorderPtr recorder = std::make_shared<stats::Recorder>();
  // Starts per second asked with _set_start_rate; 0: one start per pass.
  std::atomic<double> start_rate{0};
  double earned = 0;  // starts the rate has earned (dispatcher thread only)
  std::chrono::steady_clock::time_point last_pass = std::chrono::steady_clock::now();
  std::atomic<int> batches{0};        // batch threads that may still submit
  std::atomic<bool> retired{false};   // the dispatcher ended at program end
};

struct ManagerObject {
  PyObject_HEAD
  State* st;
  // Task name -> its _Task (keyword arguments for re-runs, the worker of
  // its latest run for stops), kept apart from the records until the table
  // is cleared.
  PyObject* tasks;
  Core* core;
  bool initialized;
};

ManagerObject* as_manager(PyObject* o) { return reinterpret_cast<ManagerObject*>(o); }
Core& core_of(const Manager& m) { return *as_manager(m.self)->core; }

PyObject* mgr_new(PyTypeObject* type, PyObject*, PyObject*) {
  return vt::boundary([&] {
    State& st = state_of_type(type);
    Ref self = take(type->tp_alloc(type, 0));
    ManagerObject* m = as_manager(self);
    m->tasks = take(PyDict_New()).release();
    m->core = new Core();
    st.managers.push_back(self);
    m->st = &st;  // listed: dealloc takes it off the list
    return self;
  });
}

int mgr_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_manager(self)->tasks);
  return PyObject_VisitManagedDict(self, visit, arg);
}

int mgr_clear(PyObject* self) {
  Py_CLEAR(as_manager(self)->tasks);
  PyObject_ClearManagedDict(self);
  return 0;
}

void mgr_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (State* st = as_manager(self)->st) std::erase(st->managers, self);
  PyObject_ClearWeakRefs(self);
  mgr_clear(self);
  delete as_manager(self)->core;
  tp->tp_free(self);
  Py_DECREF(tp);
}

// (os.cpu_count() or 1) + 4, capped at 30 when `cap`.
Ref cpu_default(const State& st, bool cap) {
  Ref n = vt::call_method(st.os, st.names.cpu_count);
  if (!vt::truth(n)) n = take(PyLong_FromLong(1));
  Ref four = take(PyLong_FromLong(4));
  Ref sum = take(PyNumber_Add(n, four));
  if (!cap) return sum;
  Ref limit = take(PyLong_FromLong(kWorkerCap));
  return vt::compare(sum, limit, Py_LT) ? sum : limit;
}

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
void sleep_until(const timespec& deadline) {
  Py_BEGIN_ALLOW_THREADS
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
  Py_END_ALLOW_THREADS
}

void advance(timespec* t, long ns) {
  t->tv_nsec += ns;
  while (t->tv_nsec >= 1'000'000'000L) {
    t->tv_nsec -= 1'000'000'000L;
    t->tv_sec += 1;
  }
}

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool compare_long(Borrowed v, long n, int op) {
  Ref c = take(PyLong_FromLong(n));
  return vt::compare(v, c, op);
}

enum class Pass {
  Busy,
  Idle,
  Held,  // names are queued, nothing runs, and the worker count admits none
};

// How many tasks this pass may start: one by default; with a start rate,
// what the rate has earned since the last pass (several when the rate needs
// it). Time earns nothing while nothing is queued, and what is earned is
// capped, so a stall is not followed by a burst.
long starts_allowed(Core& core, bool queued) {
  const double rate = core.start_rate.load();
  if (rate <= 0) return 1;
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - core.last_pass).count();
  core.last_pass = now;
  if (!queued) {
    core.earned = std::min(core.earned, 1.0);
    return 0;
  }
  // (At least two, so the fraction earned beyond a whole start is kept.)
  core.earned = std::min(core.earned + rate * elapsed, std::max(2.0, rate * kMaxCatchUpSeconds));
  return static_cast<long>(core.earned);
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

// Takes the next name without waiting (a queue found empty now is no work
// for this pass, so a concurrent drain never parks the dispatcher) and
// starts it. False when the queue had nothing.
bool start_next(const Manager& m, const collab::Holder& var) {
  const Names& n = m.st.names;
  if (!enter_taking(m)) return false;
  struct Leave {
    const Manager& m;
    ~Leave() { leave_taking(m); }
  } leave{m};
  Ref q = var.field(n.queue);
  Ref name;
  try {
    name = vt::call_method(q, n.get, {Py_False});
  } catch (const vt::PyError&) {
    if (!PyErr_ExceptionMatches(m.st.queue_empty)) throw;
    PyErr_Clear();
    return false;
  }
  var.set(n.done, Py_False);
  var.set(n.is_run, Py_True);
  m.call(n._consumer, {name});
  return true;
}

// One pass: the running count, the start step, the completion step.
Pass dispatch_pass(const Manager& m) {
  const Names& n = m.st.names;
  Core& core = core_of(m);
  collab::Holder var = m.var();
  long running = static_cast<long>(var.len(n.runs) - var.len(n.dones) - var.len(n.stops));
  const long before = running;
  bool held = false;
  const bool queued = compare_long(m.call(n._get_qsize), 0, Py_GT);
  long allowed = starts_allowed(core, queued);
  while (queued && allowed > 0) {
    Ref count = take(PyLong_FromLong(running));
    const bool room = vt::compare(count, var.field(n.max_workers), Py_LT);
    held = !room && running <= 0;
    if (!room || !start_next(m, var)) break;
    ++running;
    --allowed;
    if (core.start_rate.load() > 0) core.earned -= 1;
  }
  const bool started = running > before;
  const bool working = var.truth(n.is_run);
  // An idle manager (nothing queued, started or running, not working) has
  // no completion to detect: its pass ends here.
  if (!working && !queued && running == 0) {
    core.recorder->tick(0, 0, false);
    return Pass::Idle;
  }
  Ref size = m.call(n._get_qsize);
  const bool empty = compare_long(size, 0, Py_EQ);
  const long long waiting = PyLong_Check(size.get()) ? PyLong_AsLongLong(size) : 0;
  if (waiting == -1 && PyErr_Occurred()) vt::fail();
  core.recorder->tick(static_cast<std::uint32_t>(std::clamp<long long>(waiting, 0, 0xffffffffLL)),
                      static_cast<std::uint32_t>(std::max(running, 0L)), !empty || running > 0);
  if (held) return Pass::Held;
  if (!empty || running != 0 || started) return Pass::Busy;
  if (working) {
    var.set(n.done, Py_True);
    var.set(n.is_run, Py_False);
  }
  return Pass::Idle;
}

// The dispatcher ends at program end: from now on nothing runs what is
// queued, so a name queued meanwhile is withdrawn ("取消") rather than left
// waiting for ever.
void retire(const Manager& m) {
  core_of(m).retired.store(true);
  stop::withdraw_queued(m);
}

void set_phase(const Manager& m, Core::Phase phase) {
  core_of(m).gate.decide([&] { core_of(m).phase = phase; });
}

// The dispatcher loop, on its own thread. A pass that fails with an
// Exception is logged and the loop goes on; anything else ends it.
void run_loop(const Manager& m) {
  Core& core = core_of(m);
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  advance(&deadline, kPassNs);
  while (m.var().truth(m.st.names.switch_)) {
    // Passes keep a steady 10 ms rhythm; after a stall the rhythm restarts
    // from now instead of bursting to catch up.
    sleep_until(deadline);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    advance(&deadline, kPassNs);
    if (before(deadline, now)) {
      deadline = now;
      advance(&deadline, kPassNs);
    }
    const std::uint64_t seen = core.park.kicks.load();
    Pass pass = Pass::Busy;
    vt::catching(
        PyExc_Exception, [&] { pass = dispatch_pass(m); },
        [&](const Ref& exc) {
          // A failing sink must not end the dispatcher either.
          if (!vt::as_python([&] { collab::log_error(m.st, m.sink(), collab::Level::Debug,
                                                     "Run error: ", exc); }))
            PyErr_Clear();
        });
    // The main thread has finished and nothing is left to do, nor will be
    // by a batch still submitting: end, so the interpreter's wait for its
    // threads does not hang on this one. A queue held by a worker count that
    // admits no task would never drain: it is withdrawn.
    if (pass != Pass::Busy && m.st.shutting_down.load() && core.batches.load() == 0) {
      retire(m);
      break;
    }
    // Nothing queued or running: wait for new work rather than poll.
    if (pass == Pass::Idle) manager::park(&core.park, m.st.shutting_down, seen, kIdleWaitMs);
  }
}

}  // namespace

// ---- the receiver ----------------------------------------------------------

Manager Manager::from(PyObject* self) { return Manager{self, *as_manager(self)->st}; }

ManagerClass ManagerClass::from(PyObject* module) { return ManagerClass{state_of_module(module)}; }

collab::Holder Manager::var() const {
  return collab::Holder(st, take(PyObject_GetAttr(self, st.names._var)));
}

Ref Manager::sink() const { return take(PyObject_GetAttr(self, st.names._log)); }

collab::Table Manager::table(const collab::Holder& var) const {
  return collab::Table(st, var.field(st.names.threads));
}

void Manager::log(collab::Level level, Borrowed message) const {
  collab::log(st, sink(), level, message);
}

void Manager::log(collab::Level level, const char* text) const {
  collab::log(st, sink(), level, text);
}

Ref Manager::call(PyObject* name, std::initializer_list<Borrowed> args) const {
  return vt::call_method(self, name, args);
}

void Manager::check_while() const { call(st.names._check_while); }

void Manager::check_open() const {
  if (!var().truth(st.names.switch_)) throw vt::Raise{st.manager_error, kStopped};
}

void Manager::report_closed_instead() const {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
  bool open = true;
  {
    // The queue's error waits aside while the switch is read; a failure to
    // read it leaves the queue's error as it is.
    vt::StashedError queue_error;
    vt::quietly([&] { open = var().truth(st.names.switch_); });
  }
  if (!open) vt::set_raise(st.manager_error, kStopped);
}

// ---- construction ------------------------------------------------------------

namespace manager {

namespace {

// A fresh worker and thread for a new run of `name` (a re-run), from the
// keyword arguments its task keeps; the record gets the thread.
Ref rebuild_thread(const Manager& m, const collab::Holder& var, PyObject* name) {
  Ref task = task_of(m, name);
  if (!task) vt::raise_format(PyExc_RuntimeError, "Task <%S> has no thread to start", name);
  Ref thread = task::new_run(task);
  if (Ref rec = m.table(var).record(name)) collab::Holder(m.st, rec).set(m.st.names.thread, thread);
  return thread;
}


void init(PyObject* self, const vt::Args& a) {
  Manager m = Manager::from(self);
  const State& st = m.st;
  const Names& n = st.names;
  ManagerObject* obj = as_manager(self);
  // A second dispatcher over the same state would start tasks twice.
  if (obj->initialized)
    throw vt::Raise{PyExc_RuntimeError, "VigilThreadsMain.__init__() may run only once"};
  obj->initialized = true;
  Borrowed func = a[0], max_workers = a[1], maximum = a[2], logfile = a[3], logger = a[4],
           reserve = a[5], duration = a[6];

  // 1. the log sink
  Ref title = take(PyUnicode_FromString("VigilThreads"));
  Ref sink = vt::call_kw(st.vigil_log_cls, {},
                         {{n.title, title}, {n.file, logfile}, {n.control, logger}});
  check(PyObject_SetAttr(self, n._log, sink));

  // 2. the state holder with its first fields
  Ref queue = vt::call_method(st.multiprocessing, n.Queue);
  Ref lock = vt::call_method(st.multiprocessing, n.Lock);
  Ref var = vt::call_kw(st.vigil_var_cls, {},
                        {{n.func, func}, {n.queue, queue}, {n.lock, lock}, {n.reserve, reserve},
                         {n.duration, duration}});
  check(PyObject_SetAttr(self, n._var, var));

  // 3-7. the remaining fields
  collab::Holder holder(st, var);
  Ref table = collab::new_holder(st);
  Ref one = take(PyLong_FromLong(1));
  Ref zero = take(PyLong_FromLong(0));
  holder.add({{n.switch_, Py_True}, {n.stop_switch, Py_False}, {n.threads, table},
              {n.is_run, Py_False}, {n.done, Py_False}, {n.name, one}});
  holder.add({{n.min_time, zero}, {n.max_time, zero}, {n.all_time, zero}});
  auto list = [] { return take(PyList_New(0)); };  // each field its own list
  holder.add({{n.totals, list()}, {n.runs, list()}, {n.stops, list()}, {n.cancels, list()}});
  holder.add({{n.dones, list()}, {n.success, list()}, {n.failed, list()}});
  holder.add({{n.start_time, list()}, {n.end_time, list()}});

  // 8. the worker count, 9. the dispatcher
  m.call(n._check_max_workers, {max_workers, maximum});
  m.call(n._start);
}

using Init = vt::Init<
    init, "VigilThreadsMain",
    "func, max_workers=None, maximum=False, logfile=False, logger=False, reserve=True, "
    "duration=None",
    "Runs func many times concurrently, one thread per task, at most max_workers at once. "
    "Tasks are submitted with _send or _send_list and started by a dispatcher thread in "
    "submission order. Every method name starts with an underscore, so help() lists none; "
    "these are the ones to call:\n\n"
    "Submission\n"
    "  _send(thread_name=None, **kwargs)  queue one task; True\n"
    "  _send_list(thread_list)  queue a list of task dicts from a background thread\n"
    "  _rerun_failed()  queue every failed task again\n"
    "  _set_max_workers(workers_number=None, maximum=False)  change the worker count\n"
    "  _set_start_rate(per_second=None)  pace the starts (default: at most 100 a second)\n\n"
    "Waits\n"
    "  _join(break_result='vigil_break')  block until all work has ended, logging the "
    "counters\n"
    "  _join_property(break_result, interval=5)  the same, logging statistics lines\n\n"
    "Queries\n"
    "  _done()  True once everything started has ended\n"
    "  _is_run(), _is_close()  busy flag; closed flag\n"
    "  _get_qsize()  number of queued tasks\n"
    "  _get_status(thread_name)  {name: status word}\n"
    "  _get_all_status()  {name: status word} of every task\n"
    "  _get_run_status()  the seven counters\n"
    "  _get_result(thread_name)  {name: result}\n"
    "  _get_all_result()  counts and every task's result\n"
    "  _get_failed_result()  counts and the failed tasks' results\n"
    "  _get_failed()  names of the failed tasks\n\n"
    "Stopping and closing\n"
    "  _stop(thread_name)  stop one running task\n"
    "  _stop_all()  withdraw the queue and stop every running task\n"
    "  _clear_queue()  withdraw every queued task\n"
    "  _clear_record()  forget every record once all work has ended\n"
    "  _close()  close for good; also on leaving a with block\n\n"
    "Attributes: _log (the log sink), _var (all state and the task records). The status "
    "words are the module constants PENDING, RUNNING, DONE, FAILED, STOPPED, CANCELLED. "
    "The other methods are the internals the ones above use.">;

}  // namespace

Ref check_max_workers(Manager m, const vt::Args& a) {
  Borrowed wished = a[0];
  Ref count;
  if (vt::truth(a[1])) {
    // Used as given, except that "no wish" still means the CPU default. A
    // count that is not a number could never be compared with the running
    // count: the dispatcher would start nothing, in silence.
    if (!wished.is(Py_None) && !PyLong_Check(wished.get()) && !PyFloat_Check(wished.get()))
      vt::raise_format(PyExc_TypeError,
                       "the worker count must be an int, a float or None when maximum is "
                       "set, not %.100s",
                       Py_TYPE(wished.get())->tp_name);
    count = wished.is(Py_None) ? cpu_default(m.st, false) : wished.own();
  } else if (PyLong_Check(wished.get()) && compare_long(wished, 0, Py_GT)) {
    Ref limit = take(PyLong_FromLong(kWorkerCap));
    count = vt::compare(wished, limit, Py_LT) ? wished.own() : limit;
  } else {
    count = cpu_default(m.st, true);
  }
  m.var().add(m.st.names.max_workers, count);
  return Ref::of(Py_None);
}

Ref set_max_workers(Manager m, const vt::Args& a) {
  m.check_while();
  m.call(m.st.names._check_max_workers, {a[0], a[1]});
  Ref text = take(PyObject_Format(a[0], m.st.texts.empty));
  m.log(collab::Level::Info, take(PyUnicode_FromFormat("Workers number: %U", text.get())));
  return Ref::of(Py_True);
}

Ref set_start_rate(Manager m, const vt::Args& a) {
  Borrowed rate = a[0];
  m.check_while();
  double per_second = 0;
  if (!rate.is(Py_None)) {
    // A flag is not a rate, though bool is an int.
    if (PyBool_Check(rate.get()) || !(PyLong_Check(rate.get()) || PyFloat_Check(rate.get())))
      vt::raise_format(PyExc_TypeError, "the start rate must be a number of starts per second or None, not %.100s",
                       Py_TYPE(rate.get())->tp_name);
    per_second = PyFloat_AsDouble(rate);
    if (per_second == -1.0 && PyErr_Occurred()) vt::fail();
    if (!(per_second > 0) || !std::isfinite(per_second))
      vt::raise_format(PyExc_ValueError, "the start rate must be a positive, finite number, not %R",
                       rate.get());
  }
  core_of(m).start_rate.store(per_second);
  Ref text = take(PyObject_Format(rate, m.st.texts.empty));
  m.log(collab::Level::Info, take(PyUnicode_FromFormat("Start rate: %U", text.get())));
  return Ref::of(Py_True);
}

Ref check_while(Manager m) {
  m.check_open();
  return Ref::of(Py_None);
}

Ref get_qsize(Manager m) {
  m.check_while();
  return vt::call_method(m.var().field(m.st.names.queue), m.st.names.qsize);
}

Ref done(Manager m) { return m.var().field(m.st.names.done); }

Ref enter(Manager m) { return Ref::of(m.self); }

// Leaving a with block closes the manager, whatever ended the block (an
// exception, KeyboardInterrupt included, goes on). Already closed is fine.
// Through the methods, so subclasses are honoured.
Ref exit(Manager m, const vt::Args&) {
  if (!vt::truth(m.call(m.st.names._is_close))) m.call(m.st.names._close);
  return Ref::of(Py_False);
}

Ref start(Manager m) {
  const Names& n = m.st.names;
  Ref target = take(PyObject_GetAttr(m.self, n._queue_init));
  Ref thread = new_thread(m.st, target);
  collab::Holder var = m.var();
  var.set(n.thread_init, thread);
  vt::call_method(var.field(n.thread_init), n.start);
  return Ref::of(Py_None);
}

namespace {

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

}  // namespace

Ref consumer(Manager m, const vt::Args& a) {
  const Names& n = m.st.names;
  Borrowed name = a[0];
  collab::Holder var = m.var();
  Ref lock = var.field(n.lock);
  vt::call_method(lock, n.acquire);
  bool listed = false;
  // A name taken just as the manager was closed is withdrawn with the rest
  // of the queue rather than started.
  if (!var.truth(n.switch_)) {
    const bool withdrew = vt::as_python([&] { withdraw_unstarted(m, var, name, nullptr); });
    {
      vt::StashedError failure;  // (none when it was withdrawn)
      vt::quietly([&] { vt::call_method(lock, n.release); });
    }
    if (!withdrew) throw vt::PyError{};
    return Ref::of(Py_None);
  }
  auto start_it = [&] {
    // The name read back from the queue is a copy of the submitted one; the
    // list keeps the submitted one, so a task's name is stored once.
    Ref task = task_of(m, name);
    var.append(n.runs, task ? task::name(task) : name.own());
    listed = true;
    Ref rec = m.table(var).record(name);
    if (!rec) vt::raise_format(PyExc_KeyError, "Task <%S> has no record", name.get());
    Ref thread = collab::Holder(m.st, rec).field(n.thread);
    // A name queued again after its run (a re-run) holds no startable
    // thread: its run gets a fresh worker from the arguments kept for it.
    if (thread.is(Py_None) || !take(PyObject_GetAttr(thread, n.ident)).is(Py_None))
      thread = rebuild_thread(m, var, name);
    // The run measures the task's queue wait from when it was queued.
    if (Ref task = task_of(m, name))
      if (Ref worker = task::worker(task)) worker::set_queued_at(worker, task::take_queued_at(task));
    vt::call_method(thread, n.start);
  };
  if (vt::as_python(start_it)) {
    vt::call_method(lock, n.release);
    return Ref::of(Py_None);
  }
  {
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
  }
  throw vt::PyError{};
}

Ref queue_init(Manager m) {
  Ref keep_alive = Ref::of(m.self);
  Core& core = core_of(m);
  set_phase(m, Core::Phase::InLoop);
  const bool ok = vt::as_python([&] { run_loop(m); });
  // A close that asked this thread to stop must have made its request
  // before the loop is marked left; one made after never comes.
  core.gate.settle([&] {
    core.phase = Core::Phase::Exited;
    return 0;
  });
  // A request that arrived after the last loop test is delivered here, at a
  // point we control, not later inside the threading library's own code.
  vt::deliver_pending(m.st.flush);
  if (!ok) throw vt::PyError{};
  return Ref::of(Py_None);
}

// ---- helpers used by the other subsystems -------------------------------------

Ref time_now(const State& st) { return vt::call_method(st.time, st.names.time); }

bool duration_passed(const Manager& m, PyObject* start) {
  Ref t = time_now(m.st);
  Ref duration = m.var().field(m.st.names.duration);
  Ref end = take(PyNumber_Add(start, duration));
  return vt::compare(t, end, Py_GT);
}

void remember_task(const Manager& m, PyObject* name, PyObject* task) {
  if (PyObject* tasks = as_manager(m.self)->tasks) check(PyDict_SetItem(tasks, name, task));
}

Ref task_of(const Manager& m, PyObject* name) {
  PyObject* tasks = as_manager(m.self)->tasks;
  if (!tasks) return Ref();
  PyObject* t = nullptr;
  check(PyDict_GetItemRef(tasks, name, &t));
  return Ref::steal(t);
}

Ref worker_of(const Manager& m, PyObject* name) {
  Ref t = task_of(m, name);
  return t ? task::worker(t) : Ref();
}

void forget_tasks(const Manager& m) {
  if (PyObject* tasks = as_manager(m.self)->tasks) PyDict_Clear(tasks);
}

void wake_dispatcher(const Manager& m) { wake(&core_of(m).park); }

stats::RecorderPtr recorder_of(const Manager& m) { return core_of(m).recorder; }

BatchRunning::BatchRunning(const Manager& m) : self_(Ref::of(m.self)) {
  as_manager(self_)->core->batches.fetch_add(1);
}

BatchRunning::~BatchRunning() { as_manager(self_)->core->batches.fetch_sub(1); }

bool retired(const Manager& m) { return core_of(m).retired.load(); }

Clearing::Clearing(const Manager& m) : m_(m) {
  Core& core = core_of(m);
  begun_ = core.gate.decide([&] {
    if (core.phase == Core::Phase::Taking) return false;
    core.clearing = true;
    return true;
  });
}

Clearing::~Clearing() {
  Core& core = core_of(m_);
  if (begun_) core.gate.decide([&] { core.clearing = false; });
}

void close_all_on_interrupt(State& st) {
  std::vector<Ref> open;
  for (PyObject* self : st.managers) open.push_back(Ref::of(self));
  for (const Ref& self : open) {
    vt::quietly([&] {
      Manager m = Manager::from(self);
      if (m.var().truth(st.names.switch_)) m.call(st.names._close);
    });
  }
}

void stop_dispatcher(const Manager& m) {
  Core& core = core_of(m);
  // A parked dispatcher must come back to its loop test now.
  wake(&core.park);
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
  m.call(m.st.names._async_raise, {ident, PyExc_SystemExit});
}

namespace {

PyGetSetDef getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(Init::doc.data())},
    {Py_tp_new, reinterpret_cast<void*>(mgr_new)},
    {Py_tp_init, reinterpret_cast<void*>(Init::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mgr_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(mgr_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(mgr_clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr}};

}  // namespace

PyType_Spec blueprint = {"threads_main.VigilThreadsMain", sizeof(ManagerObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF,
                         slots};

}  // namespace manager
}  // namespace vtm
