// Manager core: construction and worker count, the dispatcher thread and
// its guard and accessors.
#pragma once
#include "common/pyutil.h"
#include "manager/parking.h"

namespace vtm::manager {

struct ManagerObject {
  PyObject_HEAD
  // Task name -> the _Worker of its latest run. Kept apart from the records
  // until the table is cleared: it holds each task's keyword arguments (for
  // re-runs) and its run state (for stops).
  PyObject* workers;
  PyMutex disp_mu;  // guards disp_state
  int disp_state;   // DispState
  bool initialized;
  Parking* park;  // the dispatcher's idle wait
};

enum DispState { kNotStarted = 0, kInLoop = 1, kExited = 2 };

ManagerObject* as_manager(PyObject* o);
bool init_type(PyObject* module, PyMethodDef* methods);
extern PyMethodDef methods[];  // this subsystem's methods, null-terminated

// Sets ManagerError "The manager has stopped" when the manager is closed.
// Returns 0 when open, -1 with an exception set otherwise.
int check_open(PyObject* self);
// After a failing queue operation: when the manager was closed meanwhile,
// the failure is reported as ManagerError "The manager has stopped" (the
// queue itself only says it is closed). Returns true if it replaced it.
bool report_closed_instead(PyObject* self);
// self._check_while(), through the method so subclasses are honoured.
bool call_check_while(PyObject* self);

// Builds a fresh worker and thread for `name` from the keyword arguments
// kept for it; stores both. Null with an exception when none are kept.
vt::Ref rebuild_thread(PyObject* self, PyObject* var, PyObject* name);
bool remember_worker(PyObject* self, PyObject* name, PyObject* worker);
vt::Ref worker_of(PyObject* self, PyObject* name);  // borrowed->owned or None

// time.time(), through the module (tests may stand in for it).
vt::Ref time_now();
// 1 when time.time() is past start + self._var.duration (both re-read now),
// 0 otherwise, -1 with an exception set.
int duration_passed(PyObject* self, PyObject* start);

// Drops the kept workers (the task table has been emptied).
void forget_workers(PyObject* self);
// Raises SystemExit in the dispatcher thread if it is still in its loop.
// False with an exception set when the request failed.
bool stop_dispatcher(PyObject* self);
// New work for the dispatcher (a name was queued): ends its idle wait.
void wake_dispatcher(PyObject* self);

}  // namespace vtm::manager
