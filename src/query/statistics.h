// _get_statistics: what a load run leaves behind, as one JSON-ready dict:
// the recorder's figures, summarised by query/summary.h. Body of a
// VigilThreadsMain method; the method table is in threads_main/methods.cpp.
#pragma once
#include "manager/receiver.h"

namespace vtm::query {

vt::Ref get_statistics(Manager m);
// _set_statistics_group(key=None): also record each run under the value of
// its keyword argument `key`; None stops grouping.
vt::Ref set_statistics_group(Manager m, vt::Borrowed key);

}  // namespace vtm::query
