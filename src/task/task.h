// A queued task: its name and keyword arguments, and the worker of its
// latest run. Until the dispatcher starts it (or a caller reads its
// record's thread) a task has no worker and no thread: its record's thread
// entry holds the task itself, a deferred entry that makes the worker and
// the not yet started thread when it is first read: the one read that runs
// code of a room above the state holder (manager/seams.h).
#pragma once
#include "manager/receiver.h"
#include "worker/worker.h"

namespace vtm::task {

// _Task, made from the state holder's deferred-entry base.
extern PyType_Spec blueprint;

// A new task of the manager; kwargs (a dict, or null) is kept, not copied:
// the task's own from then on, which nothing changes (each worker of its
// runs shares it).
vt::Ref create(const Manager& m, vt::Borrowed name, vt::Borrowed kwargs);

// The task's name, as submitted.
vt::Ref name(PyObject* task);

// The worker of the task's latest run, or a null Ref before its first.
vt::Ref worker(PyObject* task);
// The same for the task of a name; a null Ref when the name has none.
vt::Ref worker_of(const Manager& m, PyObject* name);

// A fresh worker and not yet started thread for a run of the task; the
// worker becomes the task's latest. Returns the thread.
vt::Ref new_run(PyObject* task);

// The start of the task's next run, as it comes together: when the task was
// queued (its submission, or a re-run), then, as the dispatcher takes its
// name, when that start was due by the pacer's schedule (-1: no schedule)
// and when the slot it takes became free (-1: before it was queued).
void set_queued_at(PyObject* task, std::int64_t us);
void set_slot(PyObject* task, std::int64_t intended_us, std::int64_t slot_free_us);
// What the run is handed (worker::hand_start). Taking it leaves it
// unknown, so a name put on the queue by hand again gets no queue wait.
worker::Start take_start(PyObject* task);

}  // namespace vtm::task
