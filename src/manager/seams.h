// The seams: where the core hands control back to Python. First the methods
// of VigilThreadsMain it calls through the instance, so that a subclass's
// own runs in their place; then the one read of a record that runs code of
// a room above the state holder.
//
// The rules, for every function here:
//  1. A method of the manager is called through the instance only from
//     here: self.<name>(...) written anywhere else is a seam nobody
//     listed. Every other step of the core calls its body directly, and a
//     subclass overriding that method changes nothing the core does.
//  2. Each call runs Python code: the subclass's, or the body, which reads
//     the state holder, logs, and may wait. Make none while holding a mutex
//     of ours, inside a decision of a vt::RaiseGate, or in the middle of a
//     change that must look atomic; expect anything read before it to have
//     changed after it. (The dispatcher calls _consumer while it holds a
//     name it has taken off the queue: its Taking phase keeps a close's
//     SystemExit and a clear of the records out meanwhile, not Python code.)
//  3. Each may raise anything Python code raises; the caller says what a
//     failure means there (a dispatcher pass logs it, a method raises it).
//  4. The attributes self._var and self._log are seams of the same kind:
//     they are read afresh at each use (Manager::var, Manager::sink).
#pragma once
#include "manager/receiver.h"

namespace vtm::seam {

// Construction and the dispatcher.
//   self._check_max_workers(max_workers, maximum)
void check_max_workers(const Manager& m, vt::Borrowed max_workers, vt::Borrowed maximum);
//   self._start()
void start(const Manager& m);
//   self._queue_init, bound: the dispatcher thread's target
vt::Ref queue_init_method(const Manager& m);
//   self._consumer(thread_name)
void consumer(const Manager& m, vt::Borrowed thread_name);
//   self._check_while(), which every method calls first, is
//   Manager::check_while() (manager/receiver.h); it is defined here too.
//   self._get_qsize()
vt::Ref get_qsize(const Manager& m);
//   bool(self._done())
bool done(const Manager& m);

// Submission.
//   self._send, bound: a batch calls it with each element's keywords
vt::Ref send_method(const Manager& m);
//   self._send_list_thread, bound: a batch thread's target
vt::Ref send_list_thread_method(const Manager& m);
//   self._thread_list_yield(thread_list)
vt::Ref thread_list_yield(const Manager& m, vt::Borrowed thread_list);

// Waits and queries.
//   self._get_run_status()
vt::Ref get_run_status(const Manager& m);
//   self._join_property_log(old_result, elapsed_time, start_time)
vt::Ref join_property_log(const Manager& m, vt::Borrowed old_result, vt::Borrowed elapsed_time,
                          vt::Borrowed start_time);
//   self._get_failed()
vt::Ref get_failed(const Manager& m);

// Stopping and closing.
//   self._stop_action(thread_name); self._stop_action() when thread_name is
//   null, for every started task
void stop_action(const Manager& m, vt::Borrowed thread_name = {});
//   self._stop_all()
void stop_all(const Manager& m);
//   self._clear_queue()
void clear_queue(const Manager& m);
//   self._async_raise(tid, SystemExit): how a stop, a time-out and a close
//   ask a thread to end
void raise_system_exit(const Manager& m, vt::Borrowed tid);
void raise_system_exit(const Manager& m, unsigned long tid);
//   bool(self._is_close())
bool is_close(const Manager& m);
//   self._close()
void close(const Manager& m);

// The one arrow that runs up. Until its task starts, a record's thread
// entry holds the task itself (task/task.h): a deferred entry, which the
// state holder (vigil_var, on a floor below every room of the manager)
// turns into the run's worker and not yet started thread by calling back
// into task/ the first time the entry is read, by anyone: here, by a
// record's to_dict(), or by a caller's record.thread. Making them makes
// Python objects and reads self._var and self._log, so rule 2 holds for
// every such read.
vt::Ref record_thread(const Manager& m, const collab::Holder& record);

}  // namespace vtm::seam
