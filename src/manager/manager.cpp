#include "manager/manager.h"

#include <algorithm>
#include <memory>
#include <new>

#include "common/call.h"
#include "manager/core.h"
#include "manager/seams.h"
#include "worker/worker.h"

using vt::Borrowed;
using vt::check;
using vt::Ref;
using vt::take;

namespace vtm {

namespace manager {

namespace {

constexpr long kWorkerCap = 30;

struct ManagerObject {
  PyObject_HEAD
  // A share in the module's state, made with the object: the manager may
  // outlive its module.
  ThisModule::Share st;
  // Task name -> its _Task (keyword arguments for re-runs, the worker of
  // its latest run for stops), kept apart from the records until the table
  // is cleared.
  PyObject* tasks;
  Core* core;
  bool initialized;
};

ManagerObject* as_manager(PyObject* o) { return reinterpret_cast<ManagerObject*>(o); }

PyObject* mgr_new(PyTypeObject* type, PyObject*, PyObject*) {
  return vt::boundary([&] {
    ThisModule::Share st = ThisModule::shared_of_type(type);
    Ref self = take(type->tp_alloc(type, 0));
    ManagerObject* m = as_manager(self);
    new (&m->st) ThisModule::Share(st);
    m->tasks = take(PyDict_New()).release();
    m->core = new Core();
    st->managers.push_back(self);  // dealloc takes it off the list
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
  std::erase(as_manager(self)->st->managers, self);
  PyObject_ClearWeakRefs(self);
  mgr_clear(self);
  delete as_manager(self)->core;
  std::destroy_at(&as_manager(self)->st);  // last: the state may go with it
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

bool compare_long(Borrowed v, long n, int op) {
  Ref c = take(PyLong_FromLong(n));
  return vt::compare(v, c, op);
}

}  // namespace

Core& core_of(PyObject* self) { return *as_manager(self)->core; }
Core& core_of(const Manager& m) { return core_of(m.self); }

}  // namespace manager

Manager Manager::from(PyObject* self) { return Manager{self, *manager::as_manager(self)->st}; }

namespace manager {

namespace {

void init(PyObject* self, Borrowed func, Borrowed max_workers, Borrowed maximum, Borrowed logfile,
          Borrowed logger, Borrowed reserve, Borrowed duration) {
  Manager m = Manager::from(self);
  const State& st = m.st;
  const Names& n = st.names;
  ManagerObject* obj = as_manager(self);
  // A second dispatcher over the same state would start tasks twice.
  if (obj->initialized)
    vt::raise_format(PyExc_RuntimeError, "VigilThreadsMain.__init__() may run only once");
  obj->initialized = true;

  // 1. the log sink
  Ref title = take(PyUnicode_FromString("VigilThreads"));
  Ref sink =
      vt::call_kw(st.vigil_log_cls, {}, {{n.title, title}, {n.file, logfile}, {n.control, logger}});
  check(PyObject_SetAttr(self, n._log, sink));

  // 2. the state holder with its first fields
  Ref queue = vt::call_method(st.multiprocessing, n.Queue);
  Ref lock = vt::call_method(st.multiprocessing, n.Lock);
  Ref var = vt::call_kw(st.vigil_var_cls, {},
                        {{n.func, func},
                         {n.queue, queue},
                         {n.lock, lock},
                         {n.reserve, reserve},
                         {n.duration, duration}});
  check(PyObject_SetAttr(self, n._var, var));

  // 3-7. the remaining fields
  collab::Holder holder(st, var);
  Ref table = collab::new_holder(st);
  Ref one = take(PyLong_FromLong(1));
  Ref zero = take(PyLong_FromLong(0));
  holder.add({{n.switch_, Py_True},
              {n.stop_switch, Py_False},
              {n.threads, table},
              {n.is_run, Py_False},
              {n.done, Py_False},
              {n.name, one}});
  holder.add({{n.min_time, zero}, {n.max_time, zero}, {n.all_time, zero}});
  auto list = [] { return take(PyList_New(0)); };  // each field its own list
  holder.add({{n.totals, list()}, {n.runs, list()}, {n.stops, list()}, {n.cancels, list()}});
  holder.add({{n.dones, list()}, {n.success, list()}, {n.failed, list()}});
  holder.add({{n.start_time, list()}, {n.end_time, list()}});

  // 8. the worker count, 9. the dispatcher
  seam::check_max_workers(m, max_workers, maximum);
  seam::start(m);
}

using Init = vt::Init<
    init, "VigilThreadsMain",
    "func, max_workers=None, maximum=False, logfile=False, logger=False, reserve=True, "
    "duration=None",
    "Runs func many times concurrently, each task on a thread of its own, at most max_workers "
    "at once. "
    "Tasks are submitted with _send or _send_list and started by a dispatcher thread in "
    "submission order. Every method name starts with an underscore, so help() lists none; "
    "these are the ones to call:\n\n"
    "Submission\n"
    "  _send(thread_name=None, **kwargs)  queue one task; True\n"
    "  _send_list(thread_list)  queue a list of task dicts from a background thread\n"
    "  _rerun_failed()  queue every failed task again\n\n"
    "Settings\n"
    "  _set_max_workers(workers_number=None, maximum=False)  change the worker count\n"
    "  _set_start_rate(per_second=None)  pace the starts (default: at most 100 a second; "
    "math.inf: every free slot at once)\n"
    "  _set_task_timeout(seconds=None)  a run lasting longer is stopped and fails with "
    "TimeoutError\n"
    "  _set_statistics_group(key=None)  statistics per value of a keyword argument\n"
    "  _set_fresh_threads(flag=True)  a new OS thread per task instead of the runners\n"
    "  _set_pace_clock(seconds=None)  hold the start rate's clock (for tests)\n\n"
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
    "  _get_failed()  names of the failed tasks\n"
    "  _get_statistics()  counts, error rate, run-time, queue-wait and latency "
    "percentiles, failures by kind, groups, a row a second, histograms\n"
    "  _get_running_threads()  (name, thread) of the runs not yet ended\n\n"
    "Stopping and closing\n"
    "  _stop(thread_name)  stop one running task\n"
    "  _stop_all()  withdraw the queue and stop every running task\n"
    "  _clear_queue()  withdraw every queued task\n"
    "  _clear_record()  forget every record once all work has ended\n"
    "  _close()  close for good; also on leaving a with block\n\n"
    "Attributes: _log (the log sink), _var (all state and the task records). The status "
    "words are the module constants PENDING, RUNNING, DONE, FAILED, STOPPED, CANCELLED.\n\n"
    "Internals (what the methods above use; a subclass may call them)\n"
    "  _check_max_workers(max_workers, maximum)  compute and store the worker count\n"
    "  _start()  make and start the dispatcher thread\n"
    "  _queue_init()  the dispatcher's loop\n"
    "  _consumer(thread_name)  start one queued task\n"
    "  _check_while()  raise ManagerError once closed\n"
    "  _send_list_thread(thread_list)  _send_list's background submission\n"
    "  _thread_list_yield(thread_list)  a generator over thread_list (static)\n"
    "  _join_log()  log the counters once\n"
    "  _join_property_log(old_result, elapsed_time, start_time)  log a pair of statistics "
    "lines\n"
    "  _stop_action(thread_name=None)  stop one started task, or every one\n"
    "  _async_raise(tid, exc_type)  raise exc_type in a thread (static)">;

}  // namespace

Ref check_max_workers(Manager m, Borrowed wished, Borrowed maximum) {
  Ref count;
  if (vt::truth(maximum)) {
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

Ref set_max_workers(Manager m, Borrowed workers_number, Borrowed maximum) {
  m.check_while();
  seam::check_max_workers(m, workers_number, maximum);
  m.log_setting("Workers number", workers_number);
  return Ref::of(Py_True);
}

Ref check_while(Manager m) {
  m.check_open();
  return Ref::of(Py_None);
}

Ref enter(Manager m) { return Ref::of(m.self); }

// Leaving a with block closes the manager, whatever ended the block (an
// exception, KeyboardInterrupt included, goes on). Already closed is fine.
Ref exit(Manager m, Borrowed, Borrowed, Borrowed) {
  if (!seam::is_close(m)) seam::close(m);
  return Ref::of(Py_False);
}

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

void forget_task(const Manager& m, PyObject* name) {
  PyObject* tasks = as_manager(m.self)->tasks;
  if (!tasks) return;
  Ref task;  // dropped after the dict no longer holds it
  PyObject* t = nullptr;
  if (!check(PyDict_GetItemRef(tasks, name, &t))) return;
  task = Ref::steal(t);
  check(PyDict_DelItem(tasks, name));
}

Ref forget_tasks(const Manager& m) {
  ManagerObject* obj = as_manager(m.self);
  if (!obj->tasks) return Ref();
  Ref fresh = take(PyDict_New());
  return Ref::steal(std::exchange(obj->tasks, fresh.release()));
}

stats::RecorderPtr recorder_of(const Manager& m) { return core_of(m).recorder; }

worker::WatchPtr watch_of(const Manager& m) { return core_of(m).watch; }

void announce_batch(const Manager& m) { core_of(m).batches_announced.fetch_add(1); }

void withdraw_batch(const Manager& m) { core_of(m).batches_announced.fetch_sub(1); }

BatchRunning::BatchRunning(const Manager& m) : self_(Ref::of(m.self)) {
  Core& core = core_of(self_.get());
  core.batches.fetch_add(1);
  // Takes over an announcement, if _send_list made one (a direct call of
  // _send_list_thread has none).
  int announced = core.batches_announced.load();
  while (announced > 0 && !core.batches_announced.compare_exchange_weak(announced, announced - 1)) {
  }
}

BatchRunning::~BatchRunning() { end(); }

void BatchRunning::end() {
  if (!self_) return;
  core_of(self_.get()).batches.fetch_sub(1);
  self_.reset();
}

bool batches_pending(const Manager& m) {
  Core& core = core_of(m);
  return core.batches.load() > 0 || core.batches_announced.load() > 0;
}

bool in_own_task(const Manager& m) { return worker::running_for() == core_of(m).recorder.get(); }

void close_all_on_interrupt(State& st) {
  std::vector<Ref> open;
  for (PyObject* self : st.managers) open.push_back(Ref::of(self));
  for (const Ref& self : open) {
    vt::quietly([&] {
      Manager m = Manager::from(self);
      if (m.var().truth(st.names.switch_)) seam::close(m);
    });
  }
}

namespace {

PyGetSetDef getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {{Py_tp_doc, const_cast<char*>(Init::doc.data())},
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
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_BASETYPE |
                             Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
                             Py_TPFLAGS_MANAGED_WEAKREF,
                         slots};

}  // namespace manager
}  // namespace vtm
