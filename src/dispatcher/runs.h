// Where a task's thread runs: on one of the manager's runners (a native
// thread kept for one run after another, each under a fresh thread state),
// or as a new OS thread; and the wait for the runs when the dispatcher ends.
// For dispatcher.cpp.
#pragma once
#include "manager/receiver.h"
#include "worker/worker.h"

namespace vtm::dispatcher {

// On the dispatcher thread as it starts: whether it is a daemon thread.
void note_dispatcher(const Manager& m);
// Starts the task's not yet started thread, handing its worker (when there
// is one) `start` as it does. The thread reads as started (ident,
// is_alive(), enumerate()) when this returns, wherever it runs. The
// dispatcher is woken when the run ends (on a new OS thread by its worker;
// on a runner by the runner once the run's thread state is gone, so that
// it need not wait for the interpreter).
void start_task(const Manager& m, vt::Borrowed name, vt::Borrowed thread, vt::Borrowed worker,
                worker::Start start);
// The dispatcher has left its loop: the runners take no more runs and end.
// CPython's wait for its threads at the end of the program knows the
// dispatcher, not the runners: while runs are still in flight (a stopped
// task still unwinding, say), a thread of its own waits for them, so the
// program still waits for every task as it waits for a thread.
void retire_runners(const Manager& m);

}  // namespace vtm::dispatcher
