// Submission of lists of tasks, once or repeatedly for the manager's
// duration. Bodies of VigilThreadsMain's methods; the method table is in
// manager/methods.cpp.
#pragma once
#include "manager/receiver.h"

namespace vtm::submit {

vt::Ref send_list(Manager m, vt::Borrowed thread_list);
vt::Ref send_list_thread(Manager m, vt::Borrowed thread_list);
vt::Ref thread_list_yield(ManagerClass cls, vt::Borrowed thread_list);

}  // namespace vtm::submit
