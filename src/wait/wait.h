// The two waits (_join, _join_property) and the statistics lines. Bodies of
// VigilThreadsMain's methods; the method table is in manager/methods.cpp.
#pragma once
#include "manager/receiver.h"

namespace vtm::wait {

vt::Ref join(Manager m, vt::Borrowed break_result);
vt::Ref join_log(Manager m);
vt::Ref join_property(Manager m, vt::Borrowed break_result, vt::Borrowed interval);
vt::Ref join_property_log(Manager m, vt::Borrowed old_result, vt::Borrowed elapsed_time,
                          vt::Borrowed start_time);

}  // namespace vtm::wait
