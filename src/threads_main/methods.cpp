// The one method table of VigilThreadsMain: each method's name, parameters
// and docstring, declared once; the bodies live in their rooms.
#include "common/method.h"
#include "dispatcher/dispatcher.h"
#include "manager/manager.h"
#include "query/query.h"
#include "query/statistics.h"
#include "query/summary.h"
#include "stop/stop.h"
#include "submit/batch.h"
#include "submit/submit.h"
#include "wait/wait.h"

namespace vtm::manager {

#define VTM_METHOD(body, name, params, doc) VT_METHOD(body, "VigilThreadsMain", name, params, doc)
#define VTM_STATIC(body, name, params, doc) \
  VT_STATIC_METHOD(body, "VigilThreadsMain", name, params, doc)

PyMethodDef methods[] = {
    // construction and dispatch
    VTM_METHOD(check_max_workers, "_check_max_workers", "max_workers, maximum",
               "Compute the worker count and store it as max_workers: with maximum truthy "
               "the wish unchanged (None meaning the CPU default without the cap); "
               "otherwise a positive integer up to 30, or the CPU default "
               "((os.cpu_count() or 1) + 4, at most 30)."),
    VTM_METHOD(set_max_workers, "_set_max_workers", "workers_number=None, maximum=False",
               "Change the worker count of an open manager, from the dispatcher's next "
               "pass on. Logs 'Workers number: <workers_number>' and returns True."),
    VTM_METHOD(dispatcher::set_start_rate, "_set_start_rate", "per_second=None",
               "Pace the dispatcher: None keeps the default of one start per 10 ms pass (at "
               "most 100 a second); a positive number starts a task at each slot of a "
               "schedule of that many a second, as soon as the slot is due and a worker is "
               "free, never more running than max_workers (starts held up by busy workers "
               "catch up as workers free, each keeping its slot as its intended time); "
               "math.inf starts a task into every free slot as soon as it frees. A new rate "
               "carries a running schedule on: the next start one new interval after the last, "
               "the starts owed still owed. Anything "
               "else raises TypeError or ValueError and changes nothing. Logs 'Start rate: "
               "<per_second>' and returns True."),
    VTM_METHOD(dispatcher::set_pace_clock, "_set_pace_clock", "seconds=None",
               "Hold the clock of the start rate's schedule at seconds (on time.monotonic()'s "
               "clock) until called again; None lets it run. While it is held a paced "
               "manager starts what its slots allow at that time, and makes no pass but at "
               "the end of a run, new work or a change of the time. For tests of the pacer. "
               "Returns True."),
    VTM_METHOD(dispatcher::set_fresh_threads, "_set_fresh_threads", "flag=True",
               "Run each task on a new OS thread of its own (True) instead of on one of the "
               "manager's runners, native threads kept for one task after another (False, "
               "the default). Either way the task's threading.Thread is its own as Python "
               "sees it; a runner's next task shares its native_id and whatever C-level state "
               "the runs leave on the OS thread. Anything but True or False raises TypeError "
               "and changes nothing. Logs 'Fresh threads: <flag>' and returns True."),
    VTM_METHOD(dispatcher::set_task_timeout, "_set_task_timeout", "seconds=None",
               "Limit each run of the callable to that many seconds: a run that lasts "
               "longer is stopped as _stop stops it (SystemExit in its thread) and counts "
               "as failed ('失败', in failed), its result TimeoutError('the task ran longer "
               "than its time-out of <seconds> s'). The limit applies to the runs in "
               "progress too; None removes it. Anything but None or a positive, finite "
               "number raises TypeError or ValueError and changes nothing. Logs 'Task "
               "timeout: <seconds>' and returns True."),
    VTM_METHOD(query::set_statistics_group, "_set_statistics_group", "key=None",
               "Also record each run under the value of its keyword argument key (its str, "
               "cut to 100 characters; runs without it under ''), in the groups of "
               "_get_statistics(): at most 1,000 groups, the rest counted under 'other'. None "
               "stops grouping; a key that is not a str raises TypeError and changes nothing. "
               "Logs 'Statistics group: <key>' and returns True."),
    VTM_METHOD(dispatcher::start, "_start", "",
               "Create the dispatcher thread, store it as thread_init and start it."),
    VTM_METHOD(dispatcher::queue_init, "_queue_init", "",
               "The dispatcher loop (target of the dispatcher thread): while the manager is "
               "open, start queued tasks in order while fewer than max_workers are running, "
               "and set done/is_run when all work has finished. At the default pace it "
               "starts one task per 10 ms pass; under a start rate, each task when its slot "
               "is due and a worker is free; at math.inf, each as soon as a worker is free. "
               "An idle manager waits for work."),
    VTM_METHOD(dispatcher::consumer, "_consumer", "thread_name",
               "Under the lock, list thread_name in runs and start its thread."),
    VTM_METHOD(check_while, "_check_while", "",
               "Raise ManagerError('The manager has stopped') once the manager is closed."),
    VTM_METHOD(query::get_qsize, "_get_qsize", "",
               "Number of task names waiting in the queue (raises ManagerError once "
               "closed)."),
    VTM_METHOD(query::done, "_done", "",
               "The completion flag: True once every started task has ended and nothing "
               "is queued."),

    VTM_METHOD(enter, "__enter__", "", "Return the manager itself."),
    VTM_METHOD(exit, "__exit__", "exc_type, exc_value, traceback, /",
               "Close the manager unless it is already closed; an exception raised in the "
               "block goes on (returns False)."),

    // submission
    VTM_METHOD(submit::send, "_send", "thread_name=None, **kwargs",
               "Submit one task: the callable will run with kwargs. thread_name must be a "
               "str or None; when it is None, empty or already in use the task gets the "
               "next free name 'Thread_N'. Returns True as soon as the task is queued; raises "
               "ManagerError once the manager is closed or the program's end has begun."),
    VTM_METHOD(submit::send_list, "_send_list", "thread_list",
               "Submit a list, tuple or set of task descriptions from a new background "
               "thread (see _send_list_thread) and return at once. Any other container is "
               "ignored. Raises ManagerError once the program's end has begun."),
    VTM_METHOD(submit::send_list_thread, "_send_list_thread", "thread_list",
               "Submit every element of thread_list with _send(**element): once, or, with "
               "the manager's duration set, again and again for that many seconds, each "
               "pass only while fewer than 1000 names are queued. A repeating call returns "
               "when the manager is closed. Once the program's end has begun it submits "
               "nothing more and returns."),

    // waits
    VTM_METHOD(wait::join, "_join", "break_result='vigil_break'",
               "Block until all work is done or the stop switch is raised, logging the "
               "counters once a second. Any break_result other than 'vigil_break' (None "
               "included) is stored first. With the stop switch raised, the remaining work "
               "is stopped with _stop_all. Returns True."),
    VTM_METHOD(wait::join_log, "_join_log", "", "Log the counters once."),
    VTM_METHOD(wait::join_property, "_join_property", "break_result, interval=5",
               "Block like _join, but every interval seconds in which tasks finished log "
               "two statistics lines (this interval, and since the wait began). With the "
               "manager's duration set the wait instead lasts that many seconds. Returns "
               "True."),
    VTM_METHOD(wait::join_property_log, "_join_property_log",
               "old_result, elapsed_time, start_time",
               "Log the two statistics lines measured from the counters old_result taken at "
               "elapsed_time, and from start_time. Returns the baseline of the next "
               "interval: (old_result, elapsed_time) unchanged when no task finished since, "
               "else (current counters, now)."),

    // queries
    VTM_METHOD(query::get_status, "_get_status", "thread_name",
               "{thread_name: status word} for one task, or {thread_name: 'Task does not "
               "exist'} when there is no such task."),
    VTM_METHOD(query::get_all_status, "_get_all_status", "",
               "{task name: status word} for every task, in registration order."),
    VTM_METHOD(query::get_run_status, "_get_run_status", "",
               "The seven counters: total, done, run, success, failed, stop and cancel "
               "(lengths of the task name lists)."),
    VTM_METHOD(query::is_run, "_is_run", "", "The dispatcher's busy flag, as stored."),
    VTM_METHOD(query::is_close, "_is_close", "", "True once the manager has been closed."),
    VTM_METHOD(query::get_result, "_get_result", "thread_name",
               "{thread_name: result} for one task, or {thread_name: 'Task does not "
               "exist'} when there is no such task."),
    VTM_METHOD(query::get_all_result, "_get_all_result", "",
               "Summary: the counts total, run, success, failed, stop and cancel, and data, "
               "a list of {task, result, status} for every task."),
    VTM_METHOD(query::get_failed_result, "_get_failed_result", "",
               "As _get_all_result, with data holding only tasks whose status is '失败'; the "
               "counts are over all tasks."),
    VTM_METHOD(query::get_failed, "_get_failed", "",
               "Names of the tasks whose status is '失败', in registration order."),
    VTM_METHOD(query::get_statistics, "_get_statistics", "",
               "What the runs have left behind, as a new dict that survives json.dumps: the "
               "counts (finished, succeeded, failed, stopped, cancelled, queued, running), "
               "error_rate (percent of finished runs that failed), first_start, last_finish, "
               "elapsed and throughput, run_time, queue_wait (from when a free slot could "
               "take the task) and latency (end minus intended start under a start rate, "
               "else the run time; min, mean, p50, p90, p95, p99, p99.9, max in ms), errors "
               "(failed runs by kind and message template, with an example and the times of "
               "the first and last, most frequent first, at most 100 and an 'other' row), "
               "groups (per value of the keyword argument set with _set_statistics_group), "
               "history (one row a second while work was queued or running) and histograms "
               "(their exact buckets, for merging runs)."),
    VTM_METHOD(dispatcher::get_running_threads, "_get_running_threads", "",
               "The runs whose thread has not ended yet, stopped and timed-out ones still "
               "unwinding included: a list of (task name, threading.Thread) in the order they "
               "started."),
    VTM_METHOD(query::rerun_failed, "_rerun_failed", "",
               "Queue every task named by _get_failed() again; each runs once more with its "
               "original keyword arguments. Returns True; raises ManagerError once the "
               "manager is closed or the program's end has begun."),

    // stopping and closing
    VTM_METHOD(stop::stop_action, "_stop_action", "thread_name=None",
               "Cancel the running task thread_name, or every started task when it is "
               "false, by raising SystemExit in its thread; each cancelled task is marked "
               "'停止' and listed in stops. Failures are logged at debug level as 'Stop "
               "error: ...', never raised."),
    VTM_METHOD(stop::stop, "_stop", "thread_name",
               "Cancel one started task. Raises Exception('Task <name> does not exist') or "
               "Exception('Task <name> not running'); a task that has already ended is left "
               "as it is. Logs 'Stop complete' and returns True."),
    VTM_METHOD(stop::stop_all, "_stop_all", "",
               "Withdraw every queued task and cancel every running one; the manager stays "
               "open. Logs 'Stop all complete' and returns True."),
    VTM_METHOD(stop::clear_queue, "_clear_queue", "",
               "Withdraw every queued task, marking it '取消' and listing it in cancels. "
               "Returns True."),
    VTM_METHOD(stop::clear_record, "_clear_record", "",
               "Once all work has finished, forget every task and reset the seven name "
               "lists. Returns False (changing nothing) while work is queued or running, "
               "True otherwise."),
    VTM_METHOD(stop::close, "_close", "",
               "Close the manager for good: refuse further work, withdraw the queue and "
               "close it, cancel running tasks and end the dispatcher. Returns True; a "
               "failing step raises ManagerError('Close error：...')."),
    VT_METHODS_END};

// Static methods: functions bound to the module, installed in the class as
// staticmethods when the module is set up.
PyMethodDef static_methods[] = {
    VTM_STATIC(submit::thread_list_yield, "_thread_list_yield", "thread_list",
               "A generator over the elements of thread_list."),
    VTM_STATIC(stop::async_raise, "_async_raise", "tid, exc_type",
               "Ask the interpreter to raise exc_type (a class, or an instance standing for "
               "its class) in the thread with id tid. Any failure raises "
               "ManagerError('Stop thread error')."),
    VT_METHODS_END};

PyMethodDef module_functions[] = {
    VT_STATIC_METHOD(query::summarise_recorded, "threads_main", "_summarise", "recorded, /",
                     "The statistics dict derived from what a run recorded, as _get_statistics() "
                     "derives it from a manager's records: recorded holds the counts (finished, "
                     "succeeded, failed, stopped, cancelled, queued, running, late_starts), "
                     "first_start and last_finish, errors and history (taken as they are), "
                     "groups (each with its counts, times, errors, the histograms run_time and "
                     "latency, and optionally active, the spans in which it was active) and "
                     "histograms; any other key is left out. Elapsed time runs from first_start "
                     "to last_finish. With settings (a load run's statistics) it also needs "
                     "processes (a row per worker process: run, process, where, its counts, "
                     "times and histograms) and active (the spans of epoch seconds in which the "
                     "run was active, whose union is its elapsed time), and adds "
                     "submitted_error_rate, processes, settings, active and notes. Raises "
                     "TypeError or ValueError for figures it cannot read."),
    VT_METHODS_END};

}  // namespace vtm::manager
