// _Worker: carries one task from the start of its thread to the record of
// its outcome. Its run state decides, between a stop and the task's own
// completion, which of the two counts the run.
#pragma once
#include <memory>

#include "common/method.h"
#include "common/parking.h"
#include "common/raise_gate.h"
#include "state/state.h"
#include "stats/recorder.h"
#include "worker/watch.h"

namespace vtm::worker {

extern PyType_Spec blueprint;  // _Worker

// _Worker(var, name, log, **kwargs), made directly for a manager whose
// recorder it reports to; kwargs (null, or a task's dict, checked with
// check_collisions when it was submitted) is kept, not copied: nothing may
// change it. Its runs are watched for the manager's time-out by `watch`
// (none: never timed out).
vt::Ref create(const State& st, vt::Borrowed var, vt::Borrowed name, vt::Borrowed log,
               vt::Borrowed kwargs, stats::RecorderPtr recorder, worker::WatchPtr watch = nullptr);
// threading.Thread(target=worker.start): not started, default name, not a
// daemon.
vt::Ref make_thread(const State& st, PyObject* worker);
bool is_worker(const State& st, PyObject* o);
// TypeError when kwargs holds one of _Worker's own parameter names (they
// share one keyword space with the task's arguments).
void check_collisions(const State& st, vt::Borrowed kwargs);

// A stop decides under the worker's lock whether the run is still its to
// stop, and makes the request after the lock is released.
enum class StopClaim {
  Over,       // the run already ended or was stopped: nothing to do
  BeforeRun,  // started but not yet running: it ends without running
  Raise,      // running on thread *tid: request the stop there, inside a
              // vt::RaiseGate::Raising of the worker's stop_gate
};
StopClaim claim_for_stop(PyObject* worker, unsigned long* tid);
// The time-out takes a running run as a stop does (false: it ended, or a
// stop took it first): it then requests the end on thread *tid inside a
// vt::RaiseGate::Raising of the stop_gate, and records the run with
// record_timeout, since the worker records nothing more.
bool claim_for_timeout(PyObject* worker, unsigned long* tid);
// The outcome of a run the time-out took: failed, with `error` as its
// exception, recorded as the worker records a run that raised.
void record_timeout(PyObject* worker, vt::Borrowed error);

// What a run is handed, once, by the call that starts it.
struct Start {
  // When a paced start was due by the pacer's schedule
  // (stats::monotonic_us); -1: a start with no schedule. The run's latency
  // counts from here, else from the call.
  std::int64_t intended_us = -1;
  // Since when the start waited on the manager alone: the latest of when
  // the task was queued, when the slot it takes became free and, paced,
  // when it was due; -1 when unknown (a name put on the queue by hand). The
  // run's queue wait counts from here to the call.
  std::int64_t waiting_since_us = -1;
  // Woken when the run ends, however it ends: its dispatcher, which may
  // start the next task in the slot it frees. None: someone else wakes it.
  std::shared_ptr<vt::Parking> on_end;
};
// Before the run's thread starts.
void hand_start(PyObject* worker, Start start);

// The recorder of the manager whose task this thread is running now (it
// stands for the manager), or null.
const stats::Recorder* running_for();
// The gate through which stops reach the worker's thread.
vt::RaiseGate& stop_gate(PyObject* worker);

}  // namespace vtm::worker
