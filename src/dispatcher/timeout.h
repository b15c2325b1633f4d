// The per-task time-out: the check of each dispatcher pass that stops the
// runs past the limit (dispatcher/own.h) and counts them as failed with a
// TimeoutError. The runs in progress are the workers' list (worker/watch.h).
// For dispatcher.cpp.
#pragma once
#include "manager/receiver.h"

namespace vtm::dispatcher {

// At each pass (at least one every 10 ms while runs are in progress):
// stops every run that has lasted longer than the limit and records it as
// failed. Its own failures are logged, not raised.
void expire(const Manager& m);

}  // namespace vtm::dispatcher
