// Manager core: the VigilThreadsMain object, construction and worker count,
// the dispatcher thread and its guard and accessors. `Manager` is the
// receiver every method body gets: the instance and its module state.
#pragma once
#include "collab/holder.h"
#include "common/method.h"
#include "manager/parking.h"
#include "stats/recorder.h"
#include "threads_main/state.h"

namespace vtm {

class Manager {
 public:
  static Manager from(PyObject* self);

  PyObject* self;
  State& st;

  // self._var and self._log, read afresh at each use.
  collab::Holder var() const;
  vt::Ref sink() const;
  // self._var.threads
  collab::Table table(const collab::Holder& var) const;
  // self._log.<level>(message)
  void log(collab::Level level, vt::Borrowed message) const;
  void log(collab::Level level, const char* text) const;

  // self.<name>(*args): through the method, so subclasses are honoured.
  vt::Ref call(PyObject* name, std::initializer_list<vt::Borrowed> args = {}) const;
  // self._check_while(): ManagerError "The manager has stopped" once closed.
  void check_while() const;
  // The guard itself (the switch test), without the method call.
  void check_open() const;
  // ManagerError "The manager has stopped".
  [[noreturn]] void raise_stopped() const;
  // While the failure of a queue operation is being raised: whether it is
  // an ordinary Exception and the manager was closed meanwhile, so that the
  // failure is its closing (the queue itself only says it is closed). A
  // failure to read the switch counts as open.
  bool closed_meanwhile() const;
};

// The receiver of a static method: the module it is bound to.
struct ManagerClass {
  State& st;
  static ManagerClass from(PyObject* module);
};

namespace manager {

extern PyType_Spec blueprint;         // VigilThreadsMain
extern PyMethodDef methods[];         // its method table (manager/methods.cpp)
extern PyMethodDef static_methods[];  // and its static methods

// Bodies of this subsystem's methods.
vt::Ref check_max_workers(Manager m, vt::Borrowed max_workers, vt::Borrowed maximum);
vt::Ref set_max_workers(Manager m, vt::Borrowed workers_number, vt::Borrowed maximum);
vt::Ref set_start_rate(Manager m, vt::Borrowed per_second);
vt::Ref start(Manager m);
vt::Ref queue_init(Manager m);
vt::Ref consumer(Manager m, vt::Borrowed thread_name);
vt::Ref check_while(Manager m);
vt::Ref get_qsize(Manager m);
vt::Ref done(Manager m);
vt::Ref enter(Manager m);
vt::Ref exit(Manager m, vt::Borrowed exc_type, vt::Borrowed exc_value, vt::Borrowed traceback);

// time.time(), through the module (tests may stand in for it).
vt::Ref time_now(const State& st);
// Whether time.time() is past start + self._var.duration (both read now).
bool duration_passed(const Manager& m, PyObject* start);

// The task of each name (see task/task.h): its keyword arguments for
// re-runs, the worker of its latest run for stops.
void remember_task(const Manager& m, PyObject* name, PyObject* task);
vt::Ref task_of(const Manager& m, PyObject* name);    // null Ref when none
vt::Ref worker_of(const Manager& m, PyObject* name);  // null Ref when none
// The table was emptied: the tasks are handed back, to be dropped later.
vt::Ref forget_tasks(const Manager& m);
void forget_task(const Manager& m, PyObject* name);   // its submission failed

// The manager's recorder, shared with the workers it makes.
stats::RecorderPtr recorder_of(const Manager& m);

// New work for the dispatcher (a name was queued): ends its idle wait.
void wake_dispatcher(const Manager& m);

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
// A submission (a name on its way to the queue and into totals, or a re-run
// on its way to the queue) for a scope: a clear of the records waits for it
// to end, and it waits, without the GIL, while a clear is at work.
class Submitting {
 public:
  explicit Submitting(const Manager& m);
  ~Submitting();
  Submitting(const Submitting&) = delete;
  Submitting& operator=(const Submitting&) = delete;

 private:
  vt::Ref self_;
};
// A clear of the records for a scope: one at a time, after the submissions
// in flight, with new submissions waiting and the dispatcher taking no name
// until the scope ends. Declined (begun() false) while the dispatcher holds
// a name it has taken, or when this thread is itself inside a submission.
class Clearing {
 public:
  explicit Clearing(const Manager& m);
  ~Clearing();
  bool begun() const { return begun_; }
  Clearing(const Clearing&) = delete;
  Clearing& operator=(const Clearing&) = delete;

 private:
  vt::Ref self_;
  bool begun_ = false;
};

// Nothing queued, nothing running, no name held by the dispatcher between
// the queue and runs, and no batch that may still submit: nothing is left to
// wait for.
bool idle(const Manager& m);
// The thread is running a task of this manager (a wait there would wait
// for itself).
bool in_own_task(const Manager& m);

// The program has ended and the dispatcher has left its loop: nothing will
// run what is queued from now on.
bool retired(const Manager& m);
// The program is ending because a KeyboardInterrupt went unhandled in the
// main thread: every open manager is closed (queued tasks withdrawn,
// running ones stopped), so that the program can end.
void close_all_on_interrupt(State& st);
// Raises SystemExit in the dispatcher thread while it is in its loop; the
// request can never reach the thread after it has left the loop.
void stop_dispatcher(const Manager& m);

}  // namespace manager
}  // namespace vtm
