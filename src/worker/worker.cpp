#include "worker/worker.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "collab/holder.h"
#include "common/call.h"
#include "common/gc.h"
#include "common/raise_gate.h"
#include "stats/message_template.h"
#include "worker/outcome.h"

using vt::Borrowed;
using vt::check;
using vt::Ref;
using vt::take;

namespace vtm::worker {

namespace {

// Where a run stands. A stop and the run's own end race for it: whichever
// moves it first decides how the run is counted.
enum class Phase : unsigned char {
  Created,   // the thread has not entered start()
  Starting,  // in start(), before the callable
  Running,   // the callable may be executing on thread `tid`
  Finished,  // the worker owns the outcome; no stop may touch it any more
  Stopped,   // a stop or the time-out took the run; the worker writes nothing more
};

struct Run {
  vt::RaiseGate gate;  // guards phase and tid
  Phase phase = Phase::Created;
  unsigned long tid = 0;
  // The manager's, for a worker it made; none for one made by hand.
  stats::RecorderPtr recorder;
  Start start;  // as its dispatcher handed it; none for a worker made by hand
  // The manager's time-out, and this run's place in its list while the
  // callable may run.
  worker::WatchPtr watch;
  worker::Entry watched;
};

// Lists the run for the time-out from the call of the callable until the
// callable is left, on every way out.
class Watched {
 public:
  Watched(Run& run, PyObject* worker, std::int64_t began_us) : run_(run) {
    if (run.watch) run.watch->enter(run.watched, worker, began_us);
  }
  ~Watched() {
    if (run_.watch) run_.watch->leave(run_.watched);
  }
  Watched(const Watched&) = delete;
  Watched& operator=(const Watched&) = delete;

 private:
  Run& run_;
};

// Counts a call of a manager's callable in the module's calls_running from
// the call until it is left, on every way out.
class CallCounted {
 public:
  explicit CallCounted(std::atomic<int>* count) : count_(count) {
    if (count_) count_->fetch_add(1);
  }
  ~CallCounted() {
    if (count_) count_->fetch_sub(1);
  }
  CallCounted(const CallCounted&) = delete;
  CallCounted& operator=(const CallCounted&) = delete;

 private:
  std::atomic<int>* count_;
};

struct WorkerObject {
  PyObject_HEAD
  // A share in the module's state, made with the object (as run is): the
  // worker may outlive its module.
  ThisModule::Share st;
  PyObject* var;         // the manager's state holder
  PyObject* vigil_name;  // task name, key of the record
  PyObject* log;         // the manager's log sink (a task's exception goes there)
  PyObject* kwargs;      // the task's keyword arguments (a dict), or null
  // A manager's worker shares its task's dict, which nothing changes, until
  // the kwargs attribute gives it away: each call copies it anyway.
  bool kwargs_shared;
  // In the object, not apart: a worker is made per task on the dispatcher
  // thread, and a separate allocation there per task left that thread's
  // malloc arena holding the peak of a round (about 140 bytes a task kept
  // until _clear_record) long after the runs were cleared.
  Run run;
};

WorkerObject* as_worker(PyObject* o) { return reinterpret_cast<WorkerObject*>(o); }

// The receiver of _Worker's methods.
struct Worker {
  PyObject* self;
  WorkerObject& obj;
  State& st;
  static Worker from(PyObject* self) {
    return Worker{self, *as_worker(self), *as_worker(self)->st};
  }
};

}  // namespace

void check_collisions(const State& st, Borrowed kwargs) {
  if (!kwargs || PyDict_GET_SIZE(kwargs.get()) == 0) return;
  for (PyObject* key : {st.names.self.get(), st.names.vigil_var.get(), st.names.vigil_name.get(),
                        st.names.vigil_log.get()}) {
    if (check(PyDict_Contains(kwargs, key)))
      vt::raise_format(PyExc_TypeError, "_Worker.__init__() got multiple values for argument '%U'",
                       key);
  }
}

namespace {

PyObject* worker_new(PyTypeObject* type, PyObject*, PyObject*) {
  return vt::boundary([&] {
    ThisModule::Share st = ThisModule::shared_of_type(type);
    Ref self = take(type->tp_alloc(type, 0));
    new (&as_worker(self)->st) ThisModule::Share(std::move(st));
    new (&as_worker(self)->run) Run();
    return self;
  });
}

void fill(WorkerObject& w, PyObject* var, PyObject* name, PyObject* log, Ref kwargs, bool shared) {
  Py_XSETREF(w.var, Py_NewRef(var));
  Py_XSETREF(w.vigil_name, Py_NewRef(name));
  Py_XSETREF(w.log, Py_NewRef(log));
  Py_XSETREF(w.kwargs, kwargs.release());
  w.kwargs_shared = shared;
}

// (The binder's dict of the other keywords is a new one, ours to keep.)
void init(PyObject* self, Borrowed vigil_var, Borrowed vigil_name, Borrowed vigil_log,
          Borrowed kwargs) {
  check_collisions(*as_worker(self)->st, kwargs);
  Ref own = kwargs ? kwargs.own() : take(PyDict_New());
  fill(*as_worker(self), vigil_var, vigil_name, vigil_log, std::move(own), false);
}

using Init = vt::Init<init, "_Worker", "vigil_var, vigil_name, vigil_log, **kwargs",
                      "Runs one task of a manager on the task's own thread.">;

using Gc = vt::GcSlots<WorkerObject, &WorkerObject::var, &WorkerObject::vigil_name,
                       &WorkerObject::log, &WorkerObject::kwargs>;

void worker_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Gc::clear(self);
  as_worker(self)->run.~Run();
  std::destroy_at(&as_worker(self)->st);  // last: the state may go with it
  tp->tp_free(self);
  Py_DECREF(tp);
}

// time.time() * 1000: milliseconds since the epoch, as a double.
double now_ms(const State& st) {
  Ref t = vt::call_method(st.time, st.names.time);
  double s = PyFloat_AsDouble(t);
  if (s == -1.0 && PyErr_Occurred()) throw vt::PyError{};
  return s * 1000.0;
}

// Every write to the record looks it up afresh by name. False when the
// record has disappeared from the table (the worker then ends quietly).
bool write_record(const Worker& w, PyObject* field, Borrowed value) {
  collab::Holder var(w.st, Ref::of(w.obj.var));
  collab::Table table(w.st, var.field(w.st.names.threads));
  Ref rec = table.record(w.obj.vigil_name);
  if (!rec) return false;
  collab::Holder(w.st, rec).set(field, value);
  return true;
}

// Folds a run time into the timing fields. Between reading a field and
// writing it back nothing runs that could let another thread in (the
// holder's own storage, whole numbers compared in C), so no update is lost;
// a field holding something else is compared in Python, as written.
void update_timing(const State& st, const collab::Holder& var, long long run_ms,
                   stats::Recorder* recorder) {
  const Names& n = st.names;
  Ref rt = take(PyLong_FromLongLong(run_ms));
  Ref cur_min = var.field(n.min_time);
  // The first run that returns sets the minimum, whatever min_time holds;
  // after it a minimum of 0 ms is a real one. A worker made by hand, with
  // no manager's count of returned runs, takes 0 to mean no minimum yet.
  const bool first = recorder ? recorder->returned++ == 0 : !vt::truth(cur_min);
  PyObject* ref = first ? rt.get() : cur_min.get();
  var.set(n.min_time, vt::compare(rt, ref, Py_LT) ? rt.get() : ref);
  Ref cur_max = var.field(n.max_time);
  var.set(n.max_time, vt::compare(rt, cur_max, Py_GT) ? rt.get() : cur_max.get());
  Ref all = var.field(n.all_time);
  var.set(n.all_time, take(PyNumber_Add(all, rt)));
}

// Whether the result counts as a failure under the stored break result.
bool matches_break(const State& st, const collab::Holder& var, PyObject* result) {
  Ref br = var.field(st.names.break_result);
  if (!vt::truth(br)) return false;
  if (PyList_Check(br.get()) || PyTuple_Check(br.get()) || PySet_Check(br.get()))
    return check(PySequence_Contains(br, result));
  return vt::truth(take(PyObject_RichCompare(result, br, Py_EQ)));
}

// The steps after a call that returned; a failure among them sends the run
// down the failure path. False when the record has gone. *failed tells
// whether the result counted as a failure (the break result).
bool record_success(const Worker& w, double start_ms, PyObject* result, bool* failed) {
  const Names& n = w.st.names;
  collab::Holder var(w.st, Ref::of(w.obj.var));
  const auto run_ms = static_cast<long long>(std::trunc(now_ms(w.st) - start_ms));
  update_timing(w.st, var, run_ms, w.obj.run.recorder.get());
  if (var.truth(n.reserve) && !write_record(w, n.result, result)) return false;
  if (!write_record(w, n.status, w.st.status.done)) return false;
  *failed = matches_break(w.st, var, result);
  var.append(*failed ? n.failed : n.success, w.obj.vigil_name);
  return true;
}

bool record_failure(const Worker& w, PyObject* exc) {
  const Names& n = w.st.names;
  collab::Holder var(w.st, Ref::of(w.obj.var));
  if (var.truth(n.reserve) && !write_record(w, n.result, exc)) return false;
  if (!write_record(w, n.status, w.st.status.failed)) return false;
  var.append(n.failed, w.obj.vigil_name);
  return true;
}

// The manager (its recorder) whose callable this thread is in, if any.
thread_local const stats::Recorder* tls_running_for = nullptr;

class RunningFor {
 public:
  explicit RunningFor(const stats::Recorder* r) : prev_(std::exchange(tls_running_for, r)) {}
  ~RunningFor() { tls_running_for = prev_; }
  RunningFor(const RunningFor&) = delete;
  RunningFor& operator=(const RunningFor&) = delete;

 private:
  const stats::Recorder* prev_;
};

// Calls the manager's callable with a fresh dict of the task's keyword
// arguments, so the callable cannot change the stored one. `began_us` and
// `ended_us` are read right around the call, so the run time is the
// callable's own.
Ref call_task(const Worker& w, std::int64_t& began_us, std::int64_t& ended_us) {
  collab::Holder var(w.st, Ref::of(w.obj.var));
  Ref func = var.field(w.st.names.func);
  Ref kw;
  if (w.obj.kwargs) kw = take(PyDict_Copy(w.obj.kwargs));
  began_us = stats::monotonic_us();
  PyObject* result = kw ? PyObject_VectorcallDict(func, nullptr, 0, kw) : PyObject_CallNoArgs(func);
  ended_us = stats::monotonic_us();
  return take(result);
}

// Takes the run from Created to Running on this thread. The record says
// running before the run is taken: a stop that comes in between finds the
// run still Starting, takes it, and its "停止" stands. False when the run
// is not to go on (a stop came first, or the record has gone).
bool begin_run(const Worker& w, Run& run) {
  enum class Go { Run, Quit, Twice };
  Go go = run.gate.decide([&] {
    if (run.phase == Phase::Stopped) return Go::Quit;
    if (run.phase != Phase::Created) return Go::Twice;
    run.phase = Phase::Starting;
    return Go::Run;
  });
  if (go == Go::Quit) return false;
  if (go == Go::Twice) vt::raise_format(PyExc_RuntimeError, "a _Worker runs only once");

  bool recorded = false;
  bool wrote = true;
  try {
    recorded = write_record(w, w.st.names.status, w.st.status.running);
  } catch (const vt::PyError&) {
    wrote = false;  // raised once the stop had its say
  }
  const bool stopped_early = run.gate.decide([&] {
    if (run.phase == Phase::Stopped) return true;
    run.phase = (wrote && recorded) ? Phase::Running : Phase::Finished;
    run.tid = PyThread_get_thread_ident();
    return false;
  });
  if (stopped_early) {
    // Our "运行中" may have landed after the stop's word: say it again.
    if (!wrote) PyErr_Clear();
    vt::quietly([&] { write_record(w, w.st.names.status, w.st.status.stopped); });
    return false;
  }
  if (!wrote) throw vt::PyError{};
  return recorded;
}

// A message's template keeps at most as many characters as the message.
constexpr std::size_t kTemplateChars = 200;

// Tells the recorder how the run ended. Its latency runs from the intended
// start (the pacer's slot); a start with no schedule has none but the call,
// so its latency is its run time. The texts are made here, before the
// recorder's lock.
void report(const Worker& w, stats::Recorder& recorder, std::int64_t began_us, std::int64_t run_us,
            PyObject* result, PyObject* exc, bool failed) {
  const Run& run = w.obj.run;
  const std::int64_t from = run.start.intended_us >= 0 ? run.start.intended_us : began_us;
  stats::Outcome o;
  o.run_us = run_us;
  o.latency_us = began_us + run_us - from;
  o.failed = failed || exc;
  Utf8 kind, message, group;
  std::string message_template;
  if (o.failed) {
    if (exc) {
      describe_exception(exc, kind, message);
      message_template = stats::message_template(message.view(), kTemplateChars);
      o.message_template = message_template;
    } else {
      // A break result is one of the few values the caller named: its repr
      // is its own template.
      describe_break(result, kind, message);
      o.message_template = message.view();
    }
    o.kind = kind.view();
    o.message = message.view();
  }
  std::string_view name;
  if (recorder.group_key) {
    const Ref key = recorder.group_key;  // a str() below may let _set_statistics_group in
    group_of(w.obj.kwargs, key, group);
    name = group.view();
    o.group = &name;
  }
  recorder.finished(o);
}

// What a run that no stop took leaves behind: its record, the lists and the
// recorder's figures. A run whose record has gone ends quietly.
void record_outcome(const Worker& w, double start_ms, std::int64_t began_us, std::int64_t run_us,
                    Ref result, Ref exc) {
  stats::Recorder* recorder = w.obj.run.recorder.get();
  bool failed = false;
  if (!exc) {
    bool kept = true;
    vt::catching(
        PyExc_BaseException, [&] { kept = record_success(w, start_ms, result, &failed); },
        [&](const Ref& raised) { exc = raised; });
    if (!kept) return;
  }
  // Any exception ends the run as failed, including a BaseException such as
  // sys.exit() inside the task, which no stop of the manager raised.
  if (exc && !record_failure(w, exc)) return;
  if (recorder && began_us) report(w, *recorder, began_us, run_us, result, exc, failed);
  if (exc) log_exception(w.st, w.obj.log, w.obj.vigil_name, exc);
  if (!write_record(w, w.st.names.thread, Py_None)) return;
  // The slot is free from the end of the call: the worker's own steps since
  // are the manager's delay, part of the next start's queue wait. Told
  // before the run counts as ended, so no start into the slot misses it.
  if (recorder && began_us) recorder->slot_freed(began_us + run_us);
  collab::Holder(w.st, Ref::of(w.obj.var)).append(w.st.names.dones, w.obj.vigil_name);
}

Ref start(Worker w) {
  if (!w.obj.var || !w.obj.vigil_name)
    vt::raise_format(PyExc_RuntimeError, "_Worker is not initialised");
  Ref keep_alive = Ref::of(w.self);
  Run& run = w.obj.run;
  // However the run ends, its slot is free: the dispatcher may fill it now
  // rather than at its next pass.
  struct WakeOnEnd {
    Run& run;
    ~WakeOnEnd() {
      if (run.start.on_end) vt::wake(run.start.on_end.get());
    }
  } wake_on_end{run};
  if (!begin_run(w, run)) return Ref::of(Py_None);

  double start_ms = 0;
  Ref result;
  Ref exc;
  stats::Recorder* recorder = run.recorder.get();
  std::int64_t began_us = 0;
  std::int64_t ended_us = 0;
  vt::catching(
      PyExc_BaseException,
      [&] {
        start_ms = std::trunc(now_ms(w.st));
        // (Read again just before the call; this reading stands when the
        // run fails before it.)
        began_us = stats::monotonic_us();
        Watched watched(run, w.self, began_us);
        // (A worker made by hand has no manager whose end waits for it.)
        CallCounted counted(recorder ? &w.st.calls_running : nullptr);
        if (recorder) {
          const std::int64_t since = run.start.waiting_since_us;
          recorder->started(since >= 0 ? std::max<std::int64_t>(0, began_us - since) : -1);
        }
        RunningFor running(recorder);
        result = call_task(w, began_us, ended_us);
      },
      [&](const Ref& raised) { exc = raised; });
  const std::int64_t run_us = (ended_us ? ended_us : stats::monotonic_us()) - began_us;

  // Whoever moves the phase first owns the outcome. A stop whose request is
  // still being made is waited for, so its exception can only reach this
  // thread before the flush below.
  const bool stopped = run.gate.settle([&] {
    if (run.phase == Phase::Stopped) return true;
    run.phase = Phase::Finished;
    return false;
  });
  if (stopped) {
    // The stop counted this run; a request that the callable did not reach
    // is delivered here so it cannot strike the threading library.
    result.reset();
    exc.reset();
    vt::deliver_pending(w.st.flush);
    return Ref::of(Py_None);
  }
  record_outcome(w, start_ms, began_us, run_us, std::move(result), std::move(exc));
  return Ref::of(Py_None);
}

PyMethodDef methods[] = {
    VT_METHOD(start, "_Worker", "start", "",
              "Run the task once on the current thread (the target of the task's thread): "
              "mark it running, call the manager's callable with the task's keyword "
              "arguments, and record the outcome, the run time and the success or "
              "failure."),
    VT_METHODS_END};

PyMemberDef members[] = {
    {"var", Py_T_OBJECT_EX, offsetof(WorkerObject, var), Py_READONLY,
     "The manager's state holder."},
    {"vigil_name", Py_T_OBJECT_EX, offsetof(WorkerObject, vigil_name), Py_READONLY,
     "The task name."},
    {"_log", Py_T_OBJECT_EX, offsetof(WorkerObject, log), Py_READONLY, "The manager's log sink."},
    {nullptr, 0, 0, 0, nullptr}};

// Most tasks have no keyword arguments; their dict is made only when asked.
// The task's own is not given away: what is done to this one is this
// worker's alone.
PyObject* get_kwargs(PyObject* self, void*) {
  return vt::boundary([&] {
    WorkerObject* w = as_worker(self);
    if (!w->kwargs) {
      w->kwargs = take(PyDict_New()).release();
    } else if (w->kwargs_shared) {
      Ref own = take(PyDict_Copy(w->kwargs));
      Py_SETREF(w->kwargs, own.release());
      w->kwargs_shared = false;
    }
    return Ref::of(w->kwargs);
  });
}

PyGetSetDef getset[] = {{"kwargs", get_kwargs, nullptr, "The task's keyword arguments.", nullptr},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {{Py_tp_doc, const_cast<char*>(Init::doc.data())},
                       {Py_tp_new, reinterpret_cast<void*>(worker_new)},
                       {Py_tp_init, reinterpret_cast<void*>(Init::call)},
                       {Py_tp_dealloc, reinterpret_cast<void*>(worker_dealloc)},
                       {Py_tp_traverse, reinterpret_cast<void*>(Gc::traverse)},
                       {Py_tp_clear, reinterpret_cast<void*>(Gc::clear)},
                       {Py_tp_methods, methods},
                       {Py_tp_members, members},
                       {Py_tp_getset, getset},
                       {0, nullptr}};

}  // namespace

PyType_Spec blueprint = {
    "threads_main._Worker", sizeof(WorkerObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    slots};

bool is_worker(const State& st, PyObject* o) {
  return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(st.worker_type.get()));
}

Ref create(const State& st, Borrowed var, Borrowed name, Borrowed log, Borrowed kwargs,
           stats::RecorderPtr recorder, worker::WatchPtr watch) {
  const bool any = kwargs && PyDict_GET_SIZE(kwargs.get()) > 0;
  auto* type = reinterpret_cast<PyTypeObject*>(st.worker_type.get());
  Ref self = take(worker_new(type, nullptr, nullptr));
  fill(*as_worker(self), var, name, log, any ? kwargs.own() : Ref(), any);
  as_worker(self)->run.recorder = std::move(recorder);
  as_worker(self)->run.watch = std::move(watch);
  return self;
}

Ref make_thread(const State& st, PyObject* worker) {
  return new_thread(st, take(PyObject_GetAttr(worker, st.names.start)));
}

StopClaim claim_for_stop(PyObject* worker, unsigned long* tid) {
  Run& run = as_worker(worker)->run;
  return run.gate.decide([&] {
    switch (run.phase) {
      case Phase::Created:
      case Phase::Starting:
        run.phase = Phase::Stopped;
        return StopClaim::BeforeRun;
      case Phase::Running:
        run.phase = Phase::Stopped;
        *tid = run.tid;
        run.gate.begin_raise_locked();
        return StopClaim::Raise;
      default:
        return StopClaim::Over;
    }
  });
}

bool claim_for_timeout(PyObject* worker, unsigned long* tid) {
  Run& run = as_worker(worker)->run;
  return run.gate.decide([&] {
    if (run.phase != Phase::Running) return false;
    run.phase = Phase::Stopped;
    *tid = run.tid;
    run.gate.begin_raise_locked();
    return true;
  });
}

void record_timeout(PyObject* worker, Borrowed error) {
  Worker w = Worker::from(worker);
  const std::int64_t began_us = w.obj.run.watched.began_us;
  record_outcome(w, 0, began_us, stats::monotonic_us() - began_us, Ref(), error.own());
}

vt::RaiseGate& stop_gate(PyObject* worker) { return as_worker(worker)->run.gate; }

void hand_start(PyObject* worker, Start start) { as_worker(worker)->run.start = std::move(start); }

const stats::Recorder* running_for() { return tls_running_for; }

}  // namespace vtm::worker
