// Queries: status words, counters, results and failures of the tasks, and
// the re-queuing of failed tasks. Bodies of VigilThreadsMain's methods; the
// method table (names, parameters, docstrings) is in manager/methods.cpp.
#pragma once
#include "manager/receiver.h"

namespace vtm::query {

vt::Ref get_qsize(Manager m);
vt::Ref done(Manager m);
vt::Ref get_status(Manager m, vt::Borrowed thread_name);
vt::Ref get_all_status(Manager m);
vt::Ref get_run_status(Manager m);
vt::Ref is_run(Manager m);
vt::Ref is_close(Manager m);
vt::Ref get_result(Manager m, vt::Borrowed thread_name);
vt::Ref get_all_result(Manager m);
vt::Ref get_failed_result(Manager m);
vt::Ref get_failed(Manager m);
vt::Ref rerun_failed(Manager m);

}  // namespace vtm::query
