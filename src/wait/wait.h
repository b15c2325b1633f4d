// The two waits (_join, _join_property) and the statistics lines. Bodies of
// VigilThreadsMain's methods; the method table is in manager/methods.cpp.
#pragma once
#include "manager/manager.h"

namespace vtm::wait {

vt::Ref join(Manager m, const vt::Args& a);
vt::Ref join_log(Manager m);
vt::Ref join_property(Manager m, const vt::Args& a);
vt::Ref join_property_log(Manager m, const vt::Args& a);

}  // namespace vtm::wait
