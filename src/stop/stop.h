// Stopping and shutdown: cancellation of running tasks, stop, clearing the
// queue and the records, close. Bodies of VigilThreadsMain's methods; the
// method table is in threads_main/methods.cpp.
#pragma once
#include "manager/receiver.h"

namespace vtm::stop {

vt::Ref async_raise(ManagerClass cls, vt::Borrowed tid, vt::Borrowed exc_type);
vt::Ref stop_action(Manager m, vt::Borrowed thread_name);
vt::Ref stop(Manager m, vt::Borrowed thread_name);
vt::Ref stop_all(Manager m);
vt::Ref clear_queue(Manager m);
vt::Ref clear_record(Manager m);
vt::Ref close(Manager m);

}  // namespace vtm::stop
