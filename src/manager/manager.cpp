#include "manager/manager.h"

#include <time.h>

#include <new>

#include "collab/collab.h"
#include "threads_main/globals.h"
#include "worker/worker.h"

using vt::MutexGuard;
using vt::Ref;

namespace vtm::manager {

namespace {

constexpr const char* kStopped = "The manager has stopped";
constexpr long kPassNs = 10'000'000;  // one dispatcher pass: 10 ms
constexpr int kWorkerCap = 30;
// Longest idle wait: bounds the delay for work that arrives without a
// wake-up (a name put on the queue directly, the switch cleared by hand).
constexpr int kIdleWaitMs = 100;


PyObject* mgr_new(PyTypeObject* tp, PyObject*, PyObject*) {
  Ref self = Ref::steal(tp->tp_alloc(tp, 0));
  if (!self) return nullptr;
  ManagerObject* m = as_manager(self.get());
  m->workers = PyDict_New();
  if (!m->workers) return nullptr;
  m->disp_mu = PyMutex{0};
  m->disp_state = kNotStarted;
  m->initialized = false;
  m->park = new (std::nothrow) Parking();
  if (!m->park) return PyErr_NoMemory();
  return self.release();
}

int mgr_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_manager(self)->workers);
  return PyObject_VisitManagedDict(self, visit, arg);
}

int mgr_clear(PyObject* self) {
  Py_CLEAR(as_manager(self)->workers);
  PyObject_ClearManagedDict(self);
  return 0;
}

void mgr_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  mgr_clear(self);
  delete as_manager(self)->park;
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Calls holder.add(**kw) with the keywords in the given order.
bool add_fields(PyObject* holder, std::initializer_list<std::pair<PyObject*, PyObject*>> kw) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return false;
  for (auto& [k, v] : kw)
    if (!v || PyDict_SetItem(d.get(), k, v) < 0) return false;
  Ref meth = Ref::steal(PyObject_GetAttr(holder, names.add));
  if (!meth) return false;
  Ref empty = Ref::steal(PyTuple_New(0));
  return empty && Ref::steal(PyObject_Call(meth.get(), empty.get(), d.get()));
}

Ref module_global(PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(g.module_dict, name);
  if (!v) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
  }
  return Ref::borrow(v);
}

int mgr_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"func",    "max_workers", "maximum", "logfile",
                             "logger",  "reserve",     "duration", nullptr};
  PyObject *func, *max_workers = Py_None, *maximum = Py_False,
                  *logfile = Py_False, *logger = Py_False, *reserve = Py_True,
                  *duration = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOO:VigilThreadsMain",
                                   const_cast<char**>(kw), &func, &max_workers,
                                   &maximum, &logfile, &logger, &reserve,
                                   &duration))
    return -1;
  ManagerObject* m = as_manager(self);
  if (m->initialized) {
    // A second dispatcher over the same state would start tasks twice.
    PyErr_SetString(PyExc_RuntimeError,
                    "VigilThreadsMain.__init__() may run only once");
    return -1;
  }
  m->initialized = true;

  // 1. the log sink
  Ref log_cls = module_global(names.VigilLog);
  if (!log_cls) return -1;
  Ref title = Ref::steal(PyUnicode_FromString("VigilThreads"));
  Ref lkw = Ref::steal(PyDict_New());
  if (!title || !lkw || PyDict_SetItem(lkw.get(), names.title, title.get()) < 0 ||
      PyDict_SetItem(lkw.get(), names.file, logfile) < 0 ||
      PyDict_SetItem(lkw.get(), names.control, logger) < 0)
    return -1;
  Ref empty = Ref::steal(PyTuple_New(0));
  if (!empty) return -1;
  Ref log = Ref::steal(PyObject_Call(log_cls.get(), empty.get(), lkw.get()));
  if (!log || PyObject_SetAttr(self, names._log, log.get()) < 0) return -1;

  // 2. the state holder with its first fields
  Ref var_cls = module_global(names.VigilVar);
  if (!var_cls) return -1;
  Ref queue = vt::call_method(g.multiprocessing, names.Queue);
  if (!queue) return -1;
  Ref lock = vt::call_method(g.multiprocessing, names.Lock);
  if (!lock) return -1;
  Ref vkw = Ref::steal(PyDict_New());
  if (!vkw || PyDict_SetItem(vkw.get(), names.func, func) < 0 ||
      PyDict_SetItem(vkw.get(), names.queue, queue.get()) < 0 ||
      PyDict_SetItem(vkw.get(), names.lock, lock.get()) < 0 ||
      PyDict_SetItem(vkw.get(), names.reserve, reserve) < 0 ||
      PyDict_SetItem(vkw.get(), names.duration, duration) < 0)
    return -1;
  Ref var = Ref::steal(PyObject_Call(var_cls.get(), empty.get(), vkw.get()));
  if (!var || PyObject_SetAttr(self, names._var, var.get()) < 0) return -1;

  // 3-7. the remaining fields
  Ref table = Ref::steal(PyObject_CallNoArgs(var_cls.get()));
  Ref one = Ref::steal(PyLong_FromLong(1));
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!table || !one || !zero) return -1;
  if (!add_fields(var.get(), {{names.switch_, Py_True},
                              {names.stop_switch, Py_False},
                              {names.threads, table.get()},
                              {names.is_run, Py_False},
                              {names.done, Py_False},
                              {names.name, one.get()}}))
    return -1;
  if (!add_fields(var.get(), {{names.min_time, zero.get()},
                              {names.max_time, zero.get()},
                              {names.all_time, zero.get()}}))
    return -1;
  if (!add_fields(var.get(), {{names.totals, Ref::steal(PyList_New(0)).get()},
                              {names.runs, Ref::steal(PyList_New(0)).get()},
                              {names.stops, Ref::steal(PyList_New(0)).get()},
                              {names.cancels, Ref::steal(PyList_New(0)).get()}}))
    return -1;
  if (!add_fields(var.get(), {{names.dones, Ref::steal(PyList_New(0)).get()},
                              {names.success, Ref::steal(PyList_New(0)).get()},
                              {names.failed, Ref::steal(PyList_New(0)).get()}}))
    return -1;
  if (!add_fields(var.get(), {{names.start_time, Ref::steal(PyList_New(0)).get()},
                              {names.end_time, Ref::steal(PyList_New(0)).get()}}))
    return -1;

  // 8. the worker count, 9. the dispatcher
  if (!vt::call_method(self, names._check_max_workers, {max_workers, maximum}))
    return -1;
  if (!vt::call_method(self, names._start)) return -1;
  return 0;
}

// (os.cpu_count() or 1) + 4, capped at 30 when `cap`.
Ref cpu_default(bool cap) {
  Ref n = vt::call_method(g.os, names.cpu_count);
  if (!n) return Ref();
  int t = vt::truth(n.get());
  if (t < 0) return Ref();
  if (!t) n = Ref::steal(PyLong_FromLong(1));
  Ref four = Ref::steal(PyLong_FromLong(4));
  if (!n || !four) return Ref();
  Ref sum = Ref::steal(PyNumber_Add(n.get(), four.get()));
  if (!sum || !cap) return sum;
  Ref limit = Ref::steal(PyLong_FromLong(kWorkerCap));
  if (!limit) return Ref();
  int lt = PyObject_RichCompareBool(sum.get(), limit.get(), Py_LT);
  if (lt < 0) return Ref();
  return lt ? sum : limit;
}

PyObject* m_check_max_workers(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!vt::bind_args("VigilThreadsMain._check_max_workers",
                     {"max_workers", "maximum"}, 2, args, nargs, kwnames, a))
    return nullptr;
  PyObject* wished = a[0];
  int use_as_is = vt::truth(a[1]);
  if (use_as_is < 0) return nullptr;
  Ref count;
  if (use_as_is) {
    // Unchecked, except that "no wish" still means the CPU default.
    count = wished == Py_None ? cpu_default(false) : Ref::borrow(wished);
  } else {
    int positive = 0;
    if (PyLong_Check(wished)) {
      Ref zero = Ref::steal(PyLong_FromLong(0));
      if (!zero) return nullptr;
      positive = PyObject_RichCompareBool(wished, zero.get(), Py_GT);
      if (positive < 0) return nullptr;
    }
    if (positive) {
      Ref limit = Ref::steal(PyLong_FromLong(kWorkerCap));
      if (!limit) return nullptr;
      int lt = PyObject_RichCompareBool(wished, limit.get(), Py_LT);
      if (lt < 0) return nullptr;
      count = lt ? Ref::borrow(wished) : limit;
    } else {
      count = cpu_default(true);
    }
  }
  if (!count) return nullptr;
  Ref var = collab::var_of(self);
  if (!var || !add_fields(var.get(), {{names.max_workers, count.get()}}))
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* m_set_max_workers(PyObject* self, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!vt::bind_args("VigilThreadsMain._set_max_workers",
                     {"workers_number", "maximum"}, 0, args, nargs, kwnames, a))
    return nullptr;
  PyObject* wn = a[0] ? a[0] : Py_None;
  PyObject* maximum = a[1] ? a[1] : Py_False;
  if (!call_check_while(self)) return nullptr;
  if (!vt::call_method(self, names._check_max_workers, {wn, maximum}))
    return nullptr;
  Ref empty = Ref::steal(PyUnicode_FromString(""));
  Ref text = Ref::steal(PyObject_Format(wn, empty.get()));
  if (!text) return nullptr;
  Ref msg = Ref::steal(PyUnicode_FromFormat("Workers number: %U", text.get()));
  if (!msg || !collab::log(self, collab::Level::Info, msg.get())) return nullptr;
  Py_RETURN_TRUE;
}

PyObject* m_check_while(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                        PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._check_while", nargs, kwnames)) return nullptr;
  if (check_open(self) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* m_get_qsize(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                      PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._get_qsize", nargs, kwnames)) return nullptr;
  if (!call_check_while(self)) return nullptr;
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  Ref q = collab::get(var.get(), names.queue);
  if (!q) return nullptr;
  return vt::call_method(q.get(), names.qsize).release();
}

PyObject* m_done(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                 PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._done", nargs, kwnames)) return nullptr;
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  return collab::get(var.get(), names.done).release();
}

PyObject* m_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

// Leaving a with block closes the manager, whatever ended the block (an
// exception, KeyboardInterrupt included, goes on). Already closed is fine.
PyObject* m_exit(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError,
                 "VigilThreadsMain.__exit__ expected 3 arguments, got %zd", nargs);
    return nullptr;
  }
  // Through the methods, so subclasses are honoured.
  Ref closed = vt::call_method(self, vt::intern("_is_close"));
  if (!closed) return nullptr;
  int c = vt::truth(closed.get());
  if (c < 0) return nullptr;
  if (!c && !vt::call_method(self, vt::intern("_close"))) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* m_start(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                  PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._start", nargs, kwnames)) return nullptr;
  Ref target = Ref::steal(PyObject_GetAttr(self, names._queue_init));
  if (!target) return nullptr;
  Ref cls = Ref::steal(PyObject_GetAttr(g.threading, names.Thread));
  Ref kwn = Ref::steal(PyTuple_Pack(1, names.target));
  if (!cls || !kwn) return nullptr;
  PyObject* stack[] = {target.get()};
  Ref thread = Ref::steal(PyObject_Vectorcall(cls.get(), stack, 0, kwn.get()));
  if (!thread) return nullptr;
  Ref var = collab::var_of(self);
  if (!var || !collab::set(var.get(), names.thread_init, thread.get()))
    return nullptr;
  Ref stored = collab::get(var.get(), names.thread_init);
  if (!stored || !vt::call_method(stored.get(), names.start)) return nullptr;
  Py_RETURN_NONE;
}

// Removes the last occurrence of `name` from var.runs.
void unlist_run(PyObject* var, PyObject* name) {
  Ref runs = collab::get(var, names.runs);
  if (!runs || !PyList_Check(runs.get())) return;
  for (Py_ssize_t i = PyList_GET_SIZE(runs.get()) - 1; i >= 0; --i) {
    int eq = PyObject_RichCompareBool(PyList_GET_ITEM(runs.get(), i), name, Py_EQ);
    if (eq < 0) return;
    if (eq) {
      PySequence_DelItem(runs.get(), i);
      return;
    }
  }
}

PyObject* m_consumer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  PyObject* a[1];
  if (!vt::bind_args("VigilThreadsMain._consumer", {"thread_name"}, 1, args,
                     nargs, kwnames, a))
    return nullptr;
  PyObject* name = a[0];
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  Ref lock = collab::get(var.get(), names.lock);
  if (!lock || !vt::call_method(lock.get(), names.acquire)) return nullptr;

  bool ok = false;
  bool listed = false;
  do {
    if (!collab::field_append(var.get(), names.runs, name)) break;
    listed = true;
    Ref threads = collab::get(var.get(), names.threads);
    if (!threads) break;
    Ref rec = collab::table_get(threads.get(), name);
    if (!rec) break;
    if (rec.get() == Py_None) {
      PyErr_Format(PyExc_KeyError, "Task <%S> has no record", name);
      break;
    }
    Ref thread = collab::get(rec.get(), names.thread);
    if (!thread) break;
    // A name queued again after its run (a re-run) holds no startable
    // thread: its run gets a fresh worker from the arguments kept for it.
    bool fresh = thread.get() == Py_None;
    if (!fresh) {
      Ref ident = Ref::steal(PyObject_GetAttr(thread.get(), names.ident));
      if (!ident) break;
      fresh = ident.get() != Py_None;
    }
    if (fresh) {
      thread = rebuild_thread(self, var.get(), name);
      if (!thread) break;
    }
    if (!vt::call_method(thread.get(), names.start)) break;
    ok = true;
  } while (false);

  // Never leave the lock held, and a name whose thread did not start does
  // not count as running.
  PyObject* err = PyErr_GetRaisedException();
  // A stop of the dispatcher itself (SystemExit) may strike after the thread
  // has started; only an ordinary failure means it did not start.
  if (!ok && listed && err && PyErr_GivenExceptionMatches(err, PyExc_Exception))
    unlist_run(var.get(), name);
  PyErr_Clear();
  Ref released = vt::call_method(lock.get(), names.release);
  if (!released) {
    if (err) PyErr_Clear(); else err = PyErr_GetRaisedException();
  }
  if (err) {
    PyErr_SetRaisedException(err);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Sleeps until `deadline` without the GIL.
void sleep_until(const timespec& deadline) {
  Py_BEGIN_ALLOW_THREADS
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) ==
         EINTR) {
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

// Cmp of a Python number with a C integer.
int compare_long(PyObject* v, long n, int op) {
  Ref c = Ref::steal(PyLong_FromLong(n));
  if (!c) return -1;
  return PyObject_RichCompareBool(v, c.get(), op);
}

enum class PassResult { Ok, Idle, Fatal };

// One protected pass: the running count, the start step, the completion
// step. An Exception ends the pass (it is logged); anything else is fatal.
PassResult dispatch_pass(PyObject* self) {
  bool idle = false;
  do {
    Ref var = collab::var_of(self);
    if (!var) break;
    Py_ssize_t runs = collab::field_len(var.get(), names.runs);
    if (runs < 0) break;
    Py_ssize_t dones = collab::field_len(var.get(), names.dones);
    if (dones < 0) break;
    Py_ssize_t stops = collab::field_len(var.get(), names.stops);
    if (stops < 0) break;
    long running = static_cast<long>(runs - dones - stops);

    bool started = false;
    Ref qs = vt::call_method(self, names._get_qsize);
    if (!qs) break;
    int queued = compare_long(qs.get(), 0, Py_GT);
    if (queued < 0) break;
    bool failed = false;
    if (queued) {
      Ref mw = collab::get(var.get(), names.max_workers);
      if (!mw) break;
      Ref cnt = Ref::steal(PyLong_FromLong(running));
      if (!cnt) break;
      int room = PyObject_RichCompareBool(cnt.get(), mw.get(), Py_LT);
      if (room < 0) break;
      if (room) {
        // Take without waiting: a queue found empty now is no work for this
        // pass, so a concurrent drain never parks the dispatcher.
        Ref q = collab::get(var.get(), names.queue);
        if (!q) break;
        Ref name = vt::call_method(q.get(), names.get, {Py_False});
        if (!name) {
          if (!PyErr_ExceptionMatches(g.queue_empty)) break;
          PyErr_Clear();
        } else {
          if (!collab::set(var.get(), names.done, Py_False) ||
              !collab::set(var.get(), names.is_run, Py_True) ||
              !vt::call_method(self, names._consumer, {name.get()})) {
            failed = true;
            break;
          }
          started = true;
        }
      }
    }
    if (failed) break;
    long count = running + (started ? 1 : 0);
    Ref is_run = collab::get(var.get(), names.is_run);
    if (!is_run) break;
    int working = vt::truth(is_run.get());
    if (working < 0) break;
    // An idle manager (nothing queued, started or running, not working)
    // has no completion to detect: its pass ends here, which keeps its
    // cost to one queue look per 10 ms.
    if (!working && !queued && count == 0) return PassResult::Idle;
    Ref qs2 = vt::call_method(self, names._get_qsize);
    if (!qs2) break;
    int empty = compare_long(qs2.get(), 0, Py_EQ);
    if (empty < 0) break;
    if (empty && count == 0) {
      idle = true;
      if (working && (!collab::set(var.get(), names.done, Py_True) ||
                      !collab::set(var.get(), names.is_run, Py_False)))
        break;
    }
    return idle ? PassResult::Idle : PassResult::Ok;
  } while (false);

  if (!PyErr_ExceptionMatches(PyExc_Exception)) return PassResult::Fatal;
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  // A failing sink must not end the dispatcher either.
  if (!collab::log_error(self, collab::Level::Debug, "Run error: ", exc.get()))
    PyErr_Clear();
  return PassResult::Ok;
}

void set_disp_state(PyObject* self, int state) {
  ManagerObject* m = as_manager(self);
  MutexGuard guard(&m->disp_mu);
  m->disp_state = state;
}

PyObject* m_queue_init(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                       PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._queue_init", nargs, kwnames)) return nullptr;
  Ref keep_alive = Ref::borrow(self);
  set_disp_state(self, kInLoop);
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  advance(&deadline, kPassNs);
  bool fatal = false;
  for (;;) {
    Ref var = collab::var_of(self);
    if (!var) {
      fatal = true;
      break;
    }
    Ref sw = collab::get(var.get(), names.switch_);
    if (!sw) {
      fatal = true;
      break;
    }
    int open = vt::truth(sw.get());
    if (open < 0) {
      fatal = true;
      break;
    }
    if (!open) break;
    var.reset();
    sw.reset();

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

    std::uint64_t seen = as_manager(self)->park->kicks.load();
    PassResult r = dispatch_pass(self);
    if (r == PassResult::Fatal) {
      fatal = true;
      break;
    }
    // The main thread has finished and nothing is left to do: end, so the
    // interpreter's wait for its threads does not hang on this one.
    // Otherwise nothing queued or running: wait for new work, not poll.
    if (r == PassResult::Idle) {
      if (g.shutting_down.load()) break;
      park(as_manager(self)->park, seen, kIdleWaitMs);
    }
  }
  PyObject* err = fatal ? PyErr_GetRaisedException() : nullptr;
  set_disp_state(self, kExited);
  // A close that asked this thread to stop after its last loop test must not
  // have the request strike the threading library's own code later on.
  Ref late = vt::deliver_pending_async_exc();
  if (err) {
    PyErr_SetRaisedException(err);
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

ManagerObject* as_manager(PyObject* o) { return reinterpret_cast<ManagerObject*>(o); }

int check_open(PyObject* self) {
  int t = collab::field_truth(self, names.switch_);
  if (t < 0) return -1;
  if (!t) {
    PyErr_SetString(g.manager_error, kStopped);
    return -1;
  }
  return 0;
}

bool report_closed_instead(PyObject* self) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyObject* err = PyErr_GetRaisedException();
  int open = check_open(self);
  if (open == 0) {
    PyErr_SetRaisedException(err);
    return false;
  }
  // check_open has set ManagerError (or its own failure); keep the queue's
  // error as context.
  PyObject* now = PyErr_GetRaisedException();
  PyException_SetContext(now, err);
  PyErr_SetRaisedException(now);
  return true;
}

bool call_check_while(PyObject* self) {
  return vt::call_method(self, names._check_while).operator bool();
}

bool remember_worker(PyObject* self, PyObject* name, PyObject* worker) {
  ManagerObject* m = as_manager(self);
  if (!m->workers) return true;
  return PyDict_SetItem(m->workers, name, worker) == 0;
}

Ref worker_of(PyObject* self, PyObject* name) {
  ManagerObject* m = as_manager(self);
  if (!m->workers) return Ref::borrow(Py_None);
  PyObject* w = nullptr;
  int r = PyDict_GetItemRef(m->workers, name, &w);
  if (r < 0) return Ref();
  return r ? Ref::steal(w) : Ref::borrow(Py_None);
}

Ref time_now() { return vt::call_method(g.time, names.time); }

int duration_passed(PyObject* self, PyObject* start) {
  Ref t = time_now();
  if (!t) return -1;
  Ref var = collab::var_of(self);
  if (!var) return -1;
  Ref duration = collab::get(var.get(), names.duration);
  if (!duration) return -1;
  Ref end = Ref::steal(PyNumber_Add(start, duration.get()));
  if (!end) return -1;
  return PyObject_RichCompareBool(t.get(), end.get(), Py_GT);
}

void forget_workers(PyObject* self) {
  ManagerObject* m = as_manager(self);
  if (m->workers) PyDict_Clear(m->workers);
}

void wake_dispatcher(PyObject* self) { wake(as_manager(self)->park); }

bool stop_dispatcher(PyObject* self) {
  ManagerObject* m = as_manager(self);
  // A parked dispatcher must come back to its loop test now.
  wake(m->park);
  // Held across the request: the dispatcher marks its exit under the same
  // lock and then collects any request made before, so SystemExit can only
  // reach it while it is in its loop.
  MutexGuard guard(&m->disp_mu);
  if (m->disp_state != kInLoop) return true;
  Ref var = collab::var_of(self);
  if (!var) return false;
  Ref thread = collab::get(var.get(), names.thread_init);
  if (!thread) return false;
  Ref ident = Ref::steal(PyObject_GetAttr(thread.get(), names.ident));
  if (!ident) return false;
  return vt::call_method(self, names._async_raise, {ident.get(), PyExc_SystemExit})
      .operator bool();
}

Ref rebuild_thread(PyObject* self, PyObject* var, PyObject* name) {
  Ref old = worker_of(self, name);
  if (!old) return Ref();
  if (old.get() == Py_None || !worker::check(old.get())) {
    PyErr_Format(PyExc_RuntimeError, "Task <%S> has no thread to start", name);
    return Ref();
  }
  worker::WorkerObject* w = worker::as_worker(old.get());
  Ref log = collab::log_of(self);
  if (!log) return Ref();
  Ref fresh = worker::create(var, name, log.get(), w->kwargs);
  if (!fresh) return Ref();
  Ref thread = worker::make_thread(fresh.get());
  if (!thread) return Ref();
  Ref threads = collab::get(var, names.threads);
  if (!threads) return Ref();
  Ref rec = collab::table_get(threads.get(), name);
  if (!rec) return Ref();
  if (rec.get() != Py_None && !collab::set(rec.get(), names.thread, thread.get()))
    return Ref();
  if (!remember_worker(self, name, fresh.get())) return Ref();
  return thread;
}

PyMethodDef methods[] = {
    VT_METHOD("_check_max_workers", m_check_max_workers, 0,
          "_check_max_workers($self, max_workers, maximum)\n--\n\n"
          "Compute the worker count and store it as max_workers: with maximum "
          "truthy the wish unchanged (None meaning the CPU default without "
          "the cap); otherwise a positive integer up to 30, or the CPU "
          "default ((os.cpu_count() or 1) + 4, at most 30)."),
    VT_METHOD("_set_max_workers", m_set_max_workers, 0,
          "_set_max_workers($self, workers_number=None, maximum=False)\n--\n\n"
          "Change the worker count of an open manager, from the dispatcher's "
          "next pass on. Logs 'Workers number: <workers_number>' and returns "
          "True."),
    VT_METHOD("_start", m_start, 0,
          "_start($self, /)\n--\n\n"
          "Create the dispatcher thread, store it as thread_init and start it."),
    VT_METHOD("_queue_init", m_queue_init, 0,
          "_queue_init($self, /)\n--\n\n"
          "The dispatcher loop (target of the dispatcher thread): every 10 ms, "
          "while the manager is open, start the next queued task if fewer than "
          "max_workers are running, and set done/is_run when all work has "
          "finished."),
    VT_METHOD("_consumer", m_consumer, 0,
          "_consumer($self, thread_name)\n--\n\n"
          "Under the lock, list thread_name in runs and start its thread."),
    VT_METHOD("_check_while", m_check_while, 0,
          "_check_while($self, /)\n--\n\n"
          "Raise ManagerError('The manager has stopped') once the manager is "
          "closed."),
    VT_METHOD("_get_qsize", m_get_qsize, 0,
          "_get_qsize($self, /)\n--\n\n"
          "Number of task names waiting in the queue (raises ManagerError once "
          "closed)."),
    VT_METHOD("_done", m_done, 0,
          "_done($self, /)\n--\n\n"
          "The completion flag: True once every started task has ended and "
          "nothing is queued."),
    {"__enter__", m_enter, METH_NOARGS,
     "__enter__($self, /)\n--\n\nReturn the manager itself."},
    {"__exit__", reinterpret_cast<PyCFunction>(m_exit), METH_FASTCALL,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"
     "Close the manager unless it is already closed; an exception raised in "
     "the block goes on (returns False)."},
    {nullptr, nullptr, 0, nullptr}};

namespace {
PyGetSetDef mgr_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot mgr_slots[] = {
    {Py_tp_getset, mgr_getset},
    {Py_tp_new, reinterpret_cast<void*>(mgr_new)},
    {Py_tp_init, reinterpret_cast<void*>(mgr_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mgr_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(mgr_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(mgr_clear)},
    {Py_tp_methods, nullptr},
    {Py_tp_doc, const_cast<char*>(
                    "VigilThreadsMain(func, max_workers=None, maximum=False, "
                    "logfile=False, logger=False, reserve=True, duration=None)"
                    "\n--\n\n"
                    "Runs func many times concurrently, one thread per task, at "
                    "most max_workers at once. Tasks are submitted with _send "
                    "or _send_list and started by a dispatcher thread in "
                    "submission order. Every method name starts with an "
                    "underscore, so help() lists none; these are the ones to "
                    "call:\n\n"
                    "Submission\n"
                    "  _send(thread_name=None, **kwargs)  queue one task; True\n"
                    "  _send_list(thread_list)  queue a list of task dicts from a "
                    "background thread\n"
                    "  _rerun_failed()  queue every failed task again\n"
                    "  _set_max_workers(workers_number=None, maximum=False)  "
                    "change the worker count\n\n"
                    "Waits\n"
                    "  _join(break_result='vigil_break')  block until all work "
                    "has ended, logging the counters\n"
                    "  _join_property(break_result, interval=5)  the same, "
                    "logging statistics lines\n\n"
                    "Queries\n"
                    "  _done()  True once everything started has ended\n"
                    "  _is_run(), _is_close()  busy flag; closed flag\n"
                    "  _get_qsize()  number of queued tasks\n"
                    "  _get_status(thread_name)  {name: status word}\n"
                    "  _get_all_status()  {name: status word} of every task\n"
                    "  _get_run_status()  the seven counters\n"
                    "  _get_result(thread_name)  {name: result}\n"
                    "  _get_all_result()  counts and every task's result\n"
                    "  _get_failed_result()  counts and the failed tasks' "
                    "results\n"
                    "  _get_failed()  names of the failed tasks\n\n"
                    "Stopping and closing\n"
                    "  _stop(thread_name)  stop one running task\n"
                    "  _stop_all()  withdraw the queue and stop every running "
                    "task\n"
                    "  _clear_queue()  withdraw every queued task\n"
                    "  _clear_record()  forget every record once all work has "
                    "ended\n"
                    "  _close()  close for good; also on leaving a with block\n\n"
                    "Attributes: _log (the log sink), _var (all state and the "
                    "task records). The status words are the module constants "
                    "PENDING, RUNNING, DONE, FAILED, STOPPED, CANCELLED. The "
                    "other methods are the internals the ones above use.")},
    {0, nullptr}};

PyType_Spec mgr_spec = {"threads_main.VigilThreadsMain", sizeof(ManagerObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE |
                            Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
                            Py_TPFLAGS_MANAGED_WEAKREF,
                        mgr_slots};
}  // namespace

bool init_type(PyObject* module, PyMethodDef* all_methods) {
  for (PyType_Slot* s = mgr_slots; s->slot; ++s)
    if (s->slot == Py_tp_methods) s->pfunc = all_methods;
  g.manager_type = reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &mgr_spec, nullptr));
  return g.manager_type != nullptr;
}

}  // namespace vtm::manager
