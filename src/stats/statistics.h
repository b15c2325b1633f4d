// _get_statistics: what a load run leaves behind, as one JSON-ready dict.
// Body of a VigilThreadsMain method; the method table is in
// manager/methods.cpp.
#pragma once
#include "manager/manager.h"

namespace vtm::stats {

vt::Ref get_statistics(Manager m);

}  // namespace vtm::stats
