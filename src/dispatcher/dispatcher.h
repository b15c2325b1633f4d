// The dispatcher: the thread that starts queued tasks in submission order as
// running slots free up, its pace (by default one start per 10 ms pass;
// under a start rate each start when its slot is due and a worker is free,
// woken by the end of a run; at math.inf each as soon as a worker is free),
// the time-out its passes keep, its idle wait, the start of one task
// (_consumer), where the task's thread runs, and its end at a close or at
// the end of the program. It owns what it keeps (dispatcher/own.h). Bodies
// of VigilThreadsMain's methods; the method table is in
// threads_main/methods.cpp.
#pragma once
#include "common/method.h"
#include "manager/receiver.h"

namespace vtm::dispatcher {

vt::Ref start(Manager m);
vt::Ref queue_init(Manager m);
vt::Ref consumer(Manager m, vt::Borrowed thread_name);
vt::Ref set_start_rate(Manager m, vt::PositiveOrNone per_second);
vt::Ref set_pace_clock(Manager m, vt::Borrowed seconds);
vt::Ref set_fresh_threads(Manager m, vt::Borrowed flag);
vt::Ref set_task_timeout(Manager m, vt::PositiveOrNone seconds);
vt::Ref get_running_threads(Manager m);

// New work (a name was queued): ends the dispatcher's idle wait.
void wake(const Manager& m);
// Between taking a name off the queue and listing it in runs (or
// withdrawing it): the name is then nowhere else to be counted.
bool holds_name(const Manager& m);
// The program has ended and the dispatcher has left its loop: nothing will
// run what is queued from now on.
bool retired(const Manager& m);
// Raises SystemExit in the dispatcher thread while it is in its loop; the
// request can never reach the thread after it has left the loop.
void stop(const Manager& m);

}  // namespace vtm::dispatcher
