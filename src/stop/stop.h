// Stopping and shutdown: cancellation of running tasks, stop, stop all,
// queue clearing, record clearing and close.
#pragma once
#include "common/pyutil.h"

namespace vtm::stop {
extern PyMethodDef methods[];  // null-terminated
}
