// Submission: lists of tasks (_send_list, _send_list_thread,
// _thread_list_yield).
#pragma once
#include "common/pyutil.h"

namespace vtm::submit {
extern PyMethodDef batch_methods[];  // null-terminated
}
