// Submission: single tasks (_send).
#pragma once
#include "common/pyutil.h"

namespace vtm::submit {
extern PyMethodDef methods[];  // null-terminated
}
