// VigilThreadsMain itself: the object and its construction, the worker
// count and the open-state guard, and what the other rooms ask of a
// manager: its clock, the task of each name, its recorder, its batches.
#pragma once
#include "manager/receiver.h"
#include "stats/recorder.h"
#include "worker/watch.h"

namespace vtm::manager {

extern PyType_Spec blueprint;           // VigilThreadsMain
extern PyMethodDef methods[];           // its method table (threads_main/methods.cpp)
extern PyMethodDef static_methods[];    // and its static methods
extern PyMethodDef module_functions[];  // the module's own functions

// Bodies of this room's methods.
vt::Ref check_max_workers(Manager m, vt::Borrowed max_workers, vt::Borrowed maximum);
vt::Ref set_max_workers(Manager m, vt::Borrowed workers_number, vt::Borrowed maximum);
vt::Ref check_while(Manager m);
vt::Ref enter(Manager m);
vt::Ref exit(Manager m, vt::Borrowed exc_type, vt::Borrowed exc_value, vt::Borrowed traceback);

// time.time(), through the module (tests may stand in for it).
vt::Ref time_now(const State& st);
// Whether time.time() is past start + self._var.duration (both read now).
bool duration_passed(const Manager& m, PyObject* start);

// The task of each name (see task/task.h): its keyword arguments for
// re-runs, the worker of its latest run for stops.
void remember_task(const Manager& m, PyObject* name, PyObject* task);
vt::Ref task_of(const Manager& m, PyObject* name);  // null Ref when none
// The table was emptied: the tasks are handed back, to be dropped later.
vt::Ref forget_tasks(const Manager& m);
void forget_task(const Manager& m, PyObject* name);  // its submission failed

// The manager's recorder, shared with the workers it makes.
stats::RecorderPtr recorder_of(const Manager& m);
// The manager's runs in progress, which its workers list and its time-out
// reads.
worker::WatchPtr watch_of(const Manager& m);

// A batch thread that may still submit holds the manager's dispatcher in
// its loop when the program ends, and keeps a wait from taking the manager
// for idle, for as long as the batch runs. _send_list announces its thread
// before starting it (so the gap before the thread runs counts too); the
// thread's BatchRunning takes the announcement over.
void announce_batch(const Manager& m);
void withdraw_batch(const Manager& m);  // the announced thread did not start
class BatchRunning {
 public:
  explicit BatchRunning(const Manager& m);
  ~BatchRunning();
  // Past its window a repeating batch submits nothing more.
  void end();
  BatchRunning(const BatchRunning&) = delete;
  BatchRunning& operator=(const BatchRunning&) = delete;

 private:
  vt::Ref self_;
};
// A batch is announced or running.
bool batches_pending(const Manager& m);

// The thread is running a task of this manager (a wait there would wait
// for itself).
bool in_own_task(const Manager& m);

// The program is ending because a KeyboardInterrupt went unhandled in the
// main thread: every open manager is closed (queued tasks withdrawn,
// running ones stopped), so that the program can end.
void close_all_on_interrupt(State& st);

}  // namespace vtm::manager
