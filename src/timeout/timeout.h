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

// The dispatcher's pass (at least one every 10 ms while runs are in
// progress): stops every run that has lasted longer than the limit and
// records it as failed. Its own failures are logged, not raised.
void expire(const Manager& m);

}  // namespace vtm::timeout
