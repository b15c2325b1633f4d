// Waiting and progress reporting: the counter wait (_join, _join_log) and
// the statistics wait (_join_property, _join_property_log).
#pragma once
#include "common/pyutil.h"

namespace vtm::wait {
extern PyMethodDef methods[];  // null-terminated
}
