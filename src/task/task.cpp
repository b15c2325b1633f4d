#include "task/task.h"

#include <algorithm>
#include <utility>

#include "common/call.h"
#include "common/gc.h"
#include "manager/manager.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::task {

namespace {

struct TaskObject {
  VigilDeferredObject base;  // its make() turns the record's thread entry into a thread
  State* st;
  PyObject* manager;
  PyObject* name;
  PyObject* kwargs;  // a dict, or null
  PyObject* worker;  // of the latest run, or null
  // The next run's start as it comes together (see set_slot); -1: unknown.
  std::int64_t queued_at;
  std::int64_t intended_at;
  std::int64_t slot_free_at;
};

TaskObject* as_task(PyObject* o) { return reinterpret_cast<TaskObject*>(o); }

struct Run {
  Ref worker;
  Ref thread;
};

// A worker for the task (the manager's state holder and sink as they are
// now) and the not yet started thread whose target is its start().
Run make_run(TaskObject& t) {
  Manager m = Manager::from(t.manager);
  collab::Holder var = m.var();
  Run run;
  run.worker = worker::create(m.st, var.get(), t.name, m.sink(), t.kwargs, manager::recorder_of(m),
                              manager::watch_of(m));
  run.thread = worker::make_thread(m.st, run.worker);
  return run;
}

// The record's thread entry is read for the first time: the run's worker
// and thread are made now. Making them runs Python code, during which
// another read may have made its own; the one stored first stands.
PyObject* make(PyObject* self, PyObject** slot) {
  return vt::boundary([&] {
    Ref keep = Ref::of(self);
    Run run = make_run(*as_task(self));
    if (*slot != self) return Ref::of(*slot ? *slot : Py_None);
    Py_XSETREF(as_task(self)->worker, run.worker.release());
    Ref held = Ref::steal(*slot);  // our entry goes; `keep` holds the task
    *slot = Ref(run.thread).release();
    return run.thread;
  });
}

using Gc = vt::GcSlots<TaskObject, &TaskObject::manager, &TaskObject::name, &TaskObject::kwargs,
                       &TaskObject::worker>;

PyObject* task_repr(PyObject* self) {
  return PyUnicode_FromFormat("<queued task %R>", as_task(self)->name);
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A queued task, until its worker and thread are made.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(Gc::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Gc::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Gc::clear)},
    {Py_tp_repr, reinterpret_cast<void*>(task_repr)},
    {0, nullptr}};

}  // namespace

PyType_Spec blueprint = {"threads_main._Task", sizeof(TaskObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         slots};

Ref create(const Manager& m, Borrowed name, Borrowed kwargs) {
  auto* type = reinterpret_cast<PyTypeObject*>(m.st.task_type.get());
  Ref self = take(type->tp_alloc(type, 0));
  TaskObject* t = as_task(self);
  t->base.make = make;
  t->st = &m.st;
  t->manager = Py_NewRef(m.self);
  t->name = Py_NewRef(name.get());
  t->kwargs = kwargs ? Py_NewRef(kwargs.get()) : nullptr;
  t->queued_at = t->intended_at = t->slot_free_at = -1;
  return self;
}

Ref name(PyObject* task) { return Ref::of(as_task(task)->name); }

Ref worker(PyObject* task) { return Ref::of(as_task(task)->worker); }

Ref worker_of(const Manager& m, PyObject* name) {
  Ref t = manager::task_of(m, name);
  return t ? worker(t) : Ref();
}

Ref new_run(PyObject* task) {
  Run run = make_run(*as_task(task));
  Py_XSETREF(as_task(task)->worker, run.worker.release());
  return run.thread;
}

void set_queued_at(PyObject* task, std::int64_t us) { as_task(task)->queued_at = us; }

void set_slot(PyObject* task, std::int64_t intended_us, std::int64_t slot_free_us) {
  as_task(task)->intended_at = intended_us;
  as_task(task)->slot_free_at = slot_free_us;
}

worker::Start take_start(PyObject* task) {
  TaskObject& t = *as_task(task);
  const std::int64_t queued = std::exchange(t.queued_at, -1);
  const std::int64_t slot_free = std::exchange(t.slot_free_at, -1);
  worker::Start start;
  start.intended_us = std::exchange(t.intended_at, -1);
  if (queued >= 0) start.waiting_since_us = std::max({queued, slot_free, start.intended_us});
  return start;
}

}  // namespace vtm::task
