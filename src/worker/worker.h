// _Worker: carries one task from the start of its thread to the record of
// its outcome. Its run state, guarded by a mutex of its own, is what makes a
// stop and the task's own completion exclusive: whichever takes the state
// first decides how the run is counted.
#pragma once
#include "common/pyutil.h"

namespace vtm::worker {

enum class RunState : unsigned char {
  Created,   // thread not yet in start()
  Running,   // the callable may be executing on thread `tid`
  Finished,  // the worker owns the outcome; no stop may touch it any more
  Stopped,   // a stop took the run; the worker writes nothing more
};

struct WorkerObject {
  PyObject_HEAD
  PyObject* var;         // the manager's state holder
  PyObject* vigil_name;  // task name, key of the record
  PyObject* log;         // the manager's log sink (kept, not used)
  PyObject* kwargs;      // the task's keyword arguments (a dict)
  PyMutex mu;
  RunState state;
  unsigned long tid;
};

bool init_type(PyObject* module);

// _Worker(var, name, log, **kwargs); kwargs may be null. Fails with the
// interpreter's TypeError for an argument given twice when kwargs holds one
// of the worker's own parameter names.
vt::Ref create(PyObject* var, PyObject* name, PyObject* log, PyObject* kwargs);

bool check(PyObject* o);
WorkerObject* as_worker(PyObject* o);

}  // namespace vtm::worker

namespace vtm::worker {
// threading.Thread(target=worker.start): not started, default name, not a
// daemon.
vt::Ref make_thread(PyObject* worker);
}  // namespace vtm::worker

namespace vtm::worker {
enum class StopClaim {
  Over,        // the run already ended or was stopped: nothing to do
  BeforeRun,   // started but not yet running: it will end without running
  Raised,      // running: the stop was requested in its thread
  RaiseFailed  // running, claimed, but the request failed (exception set)
};
// Takes the run away from the worker for a stop. For a running task calls
// raise_in(tid) while the run-state lock is held, so the request can only
// reach the task's own live thread.
StopClaim claim_for_stop(PyObject* worker, bool (*raise_in)(void* ctx, unsigned long tid),
                         void* ctx);
}  // namespace vtm::worker
