// The per-task time-out: the limit a manager puts on each run of its
// callable, the list of its runs in progress, and the check of the
// dispatcher's pass that stops a run past the limit and counts it as
// failed with a TimeoutError.
#pragma once
#include "common/method.h"
#include "manager/receiver.h"
#include "worker/watch.h"

namespace vtm::timeout {

// _set_task_timeout(seconds=None).
vt::Ref set_task_timeout(Manager m, vt::PositiveOrNone seconds);

// The dispatcher's pass: stops every run that has lasted longer than the
// limit and records it as failed. Its own failures are logged, not raised.
// The pass must come at least every 10 ms while watching() is true.
void expire(const Manager& m);
// A limit is set and a run is in progress.
bool watching(const Manager& m);

}  // namespace vtm::timeout
