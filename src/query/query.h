// Queries: status words, counters, results and failures of the tasks, and
// the re-queuing of failed tasks.
#pragma once
#include "common/pyutil.h"

namespace vtm::query {
extern PyMethodDef methods[];  // null-terminated
}
