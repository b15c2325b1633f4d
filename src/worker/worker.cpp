#include "worker/worker.h"

#include <cmath>

#include "collab/collab.h"
#include "threads_main/globals.h"

using vt::MutexGuard;
using vt::Ref;

namespace vtm::worker {

namespace {

// Serialises the read-modify-write of min_time, max_time and all_time so
// concurrent workers never lose an update.
PyMutex g_timing_mu = {0};


const char* const kParams[] = {"self", "vigil_var", "vigil_name", "vigil_log"};

// Rejects a task keyword that collides with a parameter of __init__.
bool check_collisions(PyObject* kwargs) {
  if (!kwargs) return true;
  if (PyDict_GET_SIZE(kwargs) == 0) return true;
  // Interned once: this runs on every submission with arguments.
  static PyObject* keys[4] = {vt::intern(kParams[0]), vt::intern(kParams[1]),
                              vt::intern(kParams[2]), vt::intern(kParams[3])};
  for (int i = 0; i < 4; ++i) {
    const char* p = kParams[i];
    PyObject* key = keys[i];
    if (!key) return false;
    int r = PyDict_Contains(kwargs, key);
    if (r < 0) return false;
    if (r) {
      PyErr_Format(PyExc_TypeError,
                   "_Worker.__init__() got multiple values for argument '%s'",
                   p);
      return false;
    }
  }
  return true;
}

PyObject* worker_new(PyTypeObject* tp, PyObject*, PyObject*) {
  Ref self = Ref::steal(tp->tp_alloc(tp, 0));
  if (!self) return nullptr;
  WorkerObject* w = as_worker(self.get());
  w->mu = PyMutex{0};
  w->state = RunState::Created;
  w->tid = 0;
  return self.release();
}

void fill(WorkerObject* w, PyObject* var, PyObject* name, PyObject* log,
          PyObject* kwargs) {
  Py_XSETREF(w->var, Py_NewRef(var));
  Py_XSETREF(w->vigil_name, Py_NewRef(name));
  Py_XSETREF(w->log, Py_NewRef(log));
  Py_XSETREF(w->kwargs, kwargs);  // stolen
}

int worker_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n > 3) {
    PyErr_Format(PyExc_TypeError,
                 "_Worker.__init__() takes 4 positional arguments but %zd "
                 "were given",
                 n + 1);
    return -1;
  }
  Ref a[3];
  for (Py_ssize_t i = 0; i < n; ++i) a[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
  Ref rest = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
  if (!rest) return -1;
  // The worker's own parameters share one keyword space with the task's.
  for (int i = 0; i < 4; ++i) {
    Ref key = Ref::steal(PyUnicode_FromString(kParams[i]));
    if (!key) return -1;
    PyObject* v = nullptr;
    if (PyDict_Pop(rest.get(), key.get(), &v) < 0) return -1;
    if (!v) continue;
    Ref vr = Ref::steal(v);
    if (i == 0 || a[i - 1]) {
      PyErr_Format(PyExc_TypeError,
                   "_Worker.__init__() got multiple values for argument '%s'",
                   kParams[i]);
      return -1;
    }
    a[i - 1] = vr;
  }
  for (int i = 0; i < 3; ++i) {
    if (!a[i]) {
      PyErr_Format(PyExc_TypeError,
                   "_Worker.__init__() missing required argument '%s'",
                   kParams[i + 1]);
      return -1;
    }
  }
  fill(as_worker(self), a[0].get(), a[1].get(), a[2].get(), rest.release());
  return 0;
}

int worker_traverse(PyObject* self, visitproc visit, void* arg) {
  WorkerObject* w = as_worker(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(w->var);
  Py_VISIT(w->vigil_name);
  Py_VISIT(w->log);
  Py_VISIT(w->kwargs);
  return 0;
}

int worker_clear(PyObject* self) {
  WorkerObject* w = as_worker(self);
  Py_CLEAR(w->var);
  Py_CLEAR(w->vigil_name);
  Py_CLEAR(w->log);
  Py_CLEAR(w->kwargs);
  return 0;
}

void worker_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  worker_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// int(time.time() * 1000) as a double of whole milliseconds.
bool now_ms(double* out) {
  Ref t = vt::call_method(g.time, names.time);
  if (!t) return false;
  double s = PyFloat_AsDouble(t.get());
  if (s == -1.0 && PyErr_Occurred()) return false;
  *out = s * 1000.0;
  return true;
}

enum class Lookup { Ok, Missing, Error };

// Every write to the record looks it up afresh by name. A record that has
// disappeared from the table ends the worker quietly.
Lookup write_record(WorkerObject* w, PyObject* field, PyObject* value) {
  Ref threads = collab::get(w->var, names.threads);
  if (!threads) return Lookup::Error;
  Ref rec = collab::table_get(threads.get(), w->vigil_name);
  if (!rec) return Lookup::Error;
  if (rec.get() == Py_None) return Lookup::Missing;
  return collab::set(rec.get(), field, value) ? Lookup::Ok : Lookup::Error;
}

// Folds a run time into the timing fields.
bool update_timing(PyObject* var, long long run_ms) {
  Ref rt = Ref::steal(PyLong_FromLongLong(run_ms));
  if (!rt) return false;
  MutexGuard guard(&g_timing_mu);
  Ref cur_min = collab::get(var, names.min_time);
  if (!cur_min) return false;
  int has_min = vt::truth(cur_min.get());
  if (has_min < 0) return false;
  PyObject* ref = has_min ? cur_min.get() : rt.get();
  int lt = PyObject_RichCompareBool(rt.get(), ref, Py_LT);
  if (lt < 0 || !collab::set(var, names.min_time, lt ? rt.get() : ref)) return false;

  Ref cur_max = collab::get(var, names.max_time);
  if (!cur_max) return false;
  int gt = PyObject_RichCompareBool(rt.get(), cur_max.get(), Py_GT);
  if (gt < 0 || !collab::set(var, names.max_time, gt ? rt.get() : cur_max.get()))
    return false;

  Ref all = collab::get(var, names.all_time);
  if (!all) return false;
  Ref sum = Ref::steal(PyNumber_Add(all.get(), rt.get()));
  return sum && collab::set(var, names.all_time, sum.get());
}

// 1 when the result counts as a failure under the stored break result.
int matches_break(PyObject* var, PyObject* result) {
  Ref br = collab::get(var, names.break_result);
  if (!br) return -1;
  int t = vt::truth(br.get());
  if (t <= 0) return t;
  if (PyList_Check(br.get()) || PyTuple_Check(br.get()) || PySet_Check(br.get()))
    return PySequence_Contains(br.get(), result);
  Ref eq = Ref::steal(PyObject_RichCompare(result, br.get(), Py_EQ));
  if (!eq) return -1;
  return vt::truth(eq.get());
}

// Steps after a call that returned. Error (with an exception set) sends the
// run down the failure path; Missing means the record has gone.
Lookup record_success(WorkerObject* w, double start_ms, PyObject* result) {
  double end;
  if (!now_ms(&end)) return Lookup::Error;
  long long run_ms = static_cast<long long>(std::trunc(end - start_ms));
  if (!update_timing(w->var, run_ms)) return Lookup::Error;
  Ref reserve = collab::get(w->var, names.reserve);
  if (!reserve) return Lookup::Error;
  int keep = vt::truth(reserve.get());
  if (keep < 0) return Lookup::Error;
  if (keep) {
    Lookup l = write_record(w, names.result, result);
    if (l != Lookup::Ok) return l;
  }
  Lookup l = write_record(w, names.status, status.done);
  if (l != Lookup::Ok) return l;
  int bad = matches_break(w->var, result);
  if (bad < 0) return Lookup::Error;
  return collab::field_append(w->var, bad ? names.failed : names.success,
                              w->vigil_name)
             ? Lookup::Ok
             : Lookup::Error;
}

Lookup record_failure(WorkerObject* w, PyObject* exc) {
  Ref reserve = collab::get(w->var, names.reserve);
  if (!reserve) return Lookup::Error;
  int keep = vt::truth(reserve.get());
  if (keep < 0) return Lookup::Error;
  if (keep) {
    Lookup l = write_record(w, names.result, exc);
    if (l != Lookup::Ok) return l;
  }
  Lookup l = write_record(w, names.status, status.failed);
  if (l != Lookup::Ok) return l;
  return collab::field_append(w->var, names.failed, w->vigil_name)
             ? Lookup::Ok
             : Lookup::Error;
}

PyObject* worker_start(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                       PyObject* kwnames) {
  if (!vt::no_args("_Worker.start", nargs, kwnames)) return nullptr;
  WorkerObject* w = as_worker(self);
  if (!w->var || !w->vigil_name) {
    PyErr_SetString(PyExc_RuntimeError, "_Worker is not initialised");
    return nullptr;
  }
  Ref keep_alive = Ref::borrow(self);

  // Marking the record running and taking the run are one step under the
  // run-state lock, so a stop either comes before (and the task never runs)
  // or after (and its "停止" is the last word).
  {
    MutexGuard guard(&w->mu);
    if (w->state == RunState::Stopped) Py_RETURN_NONE;
    if (w->state != RunState::Created) {
      PyErr_SetString(PyExc_RuntimeError, "a _Worker runs only once");
      return nullptr;
    }
    Lookup l = write_record(w, names.status, status.running);
    if (l != Lookup::Ok) {
      w->state = RunState::Finished;
      if (l == Lookup::Missing) Py_RETURN_NONE;
      return nullptr;
    }
    w->tid = PyThread_get_thread_ident();
    w->state = RunState::Running;
  }

  double start_ms = 0;
  Ref result;
  Ref exc;
  if (!now_ms(&start_ms)) {
    exc = Ref::steal(PyErr_GetRaisedException());
  } else {
    start_ms = std::trunc(start_ms);
    Ref func = collab::get(w->var, names.func);
    if (func) {
      if (!w->kwargs) {
        result = Ref::steal(PyObject_CallNoArgs(func.get()));
      } else {
        // A fresh dict per call: the callable cannot change the stored one.
        Ref kw = Ref::steal(PyDict_Copy(w->kwargs));
        if (kw)
          result = Ref::steal(PyObject_VectorcallDict(func.get(), nullptr, 0, kw.get()));
      }
    }
    if (!result) exc = Ref::steal(PyErr_GetRaisedException());
  }

  // Whoever takes the run state first owns the outcome.
  bool stopped;
  {
    MutexGuard guard(&w->mu);
    stopped = w->state == RunState::Stopped;
    if (!stopped) w->state = RunState::Finished;
  }
  if (stopped) {
    // The stop counted this run; a stop request that the callable did not
    // reach is delivered here so it cannot strike the threading library.
    result.reset();
    exc.reset();
    vt::deliver_pending_async_exc();
    Py_RETURN_NONE;
  }

  if (!exc) {
    Lookup l = record_success(w, start_ms, result.get());
    if (l == Lookup::Missing) Py_RETURN_NONE;
    if (l == Lookup::Error) exc = Ref::steal(PyErr_GetRaisedException());
  }
  if (exc) {
    // Any exception ends the run as failed, including a BaseException such
    // as sys.exit() inside the task, which no stop of the manager raised.
    Lookup l = record_failure(w, exc.get());
    if (l == Lookup::Missing) Py_RETURN_NONE;
    if (l == Lookup::Error) return nullptr;
  }
  Lookup l = write_record(w, names.thread, Py_None);
  if (l == Lookup::Missing) Py_RETURN_NONE;
  if (l == Lookup::Error) return nullptr;
  if (!collab::field_append(w->var, names.dones, w->vigil_name)) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef worker_methods[] = {
    {"start", reinterpret_cast<PyCFunction>(worker_start),
     METH_FASTCALL | METH_KEYWORDS,
     "start($self, /)\n--\n\n"
     "Run the task once on the current thread (the target of the task's "
     "thread): mark it running, call the manager's callable with the task's "
     "keyword arguments, and record the outcome, the run time and the "
     "success or failure."},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef worker_members[] = {
    {"var", Py_T_OBJECT_EX, offsetof(WorkerObject, var), Py_READONLY,
     "The manager's state holder."},
    {"vigil_name", Py_T_OBJECT_EX, offsetof(WorkerObject, vigil_name),
     Py_READONLY, "The task name."},
    {"_log", Py_T_OBJECT_EX, offsetof(WorkerObject, log), Py_READONLY,
     "The manager's log sink."},
    {nullptr, 0, 0, 0, nullptr}};

// Most tasks have no keyword arguments; their dict is made only when asked.
PyObject* get_kwargs(PyObject* self, void*) {
  WorkerObject* w = as_worker(self);
  if (!w->kwargs && !(w->kwargs = PyDict_New())) return nullptr;
  return Py_NewRef(w->kwargs);
}

PyGetSetDef worker_getset[] = {
    {"kwargs", get_kwargs, nullptr, "The task's keyword arguments.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot worker_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(worker_new)},
    {Py_tp_init, reinterpret_cast<void*>(worker_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(worker_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(worker_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(worker_clear)},
    {Py_tp_methods, worker_methods},
    {Py_tp_members, worker_members},
    {Py_tp_getset, worker_getset},
    {Py_tp_doc, const_cast<char*>(
                    "_Worker(vigil_var, vigil_name, vigil_log, **kwargs)\n--\n\n"
                    "Runs one task of a manager on the task's own thread.")},
    {0, nullptr}};

PyType_Spec worker_spec = {"threads_main._Worker", sizeof(WorkerObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE |
                               Py_TPFLAGS_HAVE_GC,
                           worker_slots};

}  // namespace

WorkerObject* as_worker(PyObject* o) { return reinterpret_cast<WorkerObject*>(o); }

bool check(PyObject* o) { return PyObject_TypeCheck(o, g.worker_type); }

bool init_type(PyObject* module) {
  g.worker_type = reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &worker_spec, nullptr));
  return g.worker_type != nullptr;
}

Ref create(PyObject* var, PyObject* name, PyObject* log, PyObject* kwargs) {
  if (!check_collisions(kwargs)) return Ref();
  Ref kw;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    kw = Ref::steal(PyDict_Copy(kwargs));
    if (!kw) return Ref();
  }
  Ref self = Ref::steal(worker_new(g.worker_type, nullptr, nullptr));
  if (!self) return Ref();
  fill(as_worker(self.get()), var, name, log, kw.release());
  return self;
}

}  // namespace vtm::worker

namespace vtm::worker {
Ref make_thread(PyObject* worker) {
  Ref target = Ref::steal(PyObject_GetAttr(worker, names.start));
  if (!target) return Ref();
  Ref cls = Ref::steal(PyObject_GetAttr(g.threading, names.Thread));
  if (!cls) return Ref();
  Ref kwn = Ref::steal(PyTuple_Pack(1, names.target));
  if (!kwn) return Ref();
  PyObject* stack[] = {target.get()};
  return Ref::steal(PyObject_Vectorcall(cls.get(), stack, 0, kwn.get()));
}
}  // namespace vtm::worker

namespace vtm::worker {
StopClaim claim_for_stop(PyObject* worker, bool (*raise_in)(void*, unsigned long),
                         void* ctx) {
  WorkerObject* w = as_worker(worker);
  PyMutex_Lock(&w->mu);
  StopClaim claim = StopClaim::Over;
  if (w->state == RunState::Created) {
    w->state = RunState::Stopped;
    claim = StopClaim::BeforeRun;
  } else if (w->state == RunState::Running) {
    w->state = RunState::Stopped;
    claim = raise_in(ctx, w->tid) ? StopClaim::Raised : StopClaim::RaiseFailed;
  }
  PyMutex_Unlock(&w->mu);
  return claim;
}
}  // namespace vtm::worker
