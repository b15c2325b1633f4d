// The state of one threads_main module object (one per interpreter): its
// types and exception, the standard-library objects it calls, the status
// words and the interned names it looks up. Reached from a manager or worker
// (which keep a pointer from their creation) or from the module.
#pragma once
#include <atomic>
#include <vector>

#include "common/module.h"
#include "common/private_names.h"
#include "common/ref.h"
#include "vigil_var/vigil_var_api.h"

namespace vtm {

// Interned attribute, method and keyword names. A trailing underscore stands
// for a C++ keyword (`switch`); the other spellings are the names themselves.
// (A list of names, laid out by hand.)
// clang-format off
#define VTM_NAMES(X)                                                                     \
  X(_var) X(_log) X(func) X(queue) X(lock) X(reserve) X(duration) X(switch_)             \
  X(stop_switch) X(threads) X(is_run) X(done) X(name) X(min_time) X(max_time)            \
  X(all_time) X(totals) X(runs) X(stops) X(cancels) X(dones) X(success) X(failed)        \
  X(start_time) X(end_time) X(max_workers) X(thread_init) X(break_result) X(thread)      \
  X(result) X(status) X(ident) X(info) X(debug) X(warning) X(add) X(set_kwargs) X(get)   \
  X(set) X(value) X(put) X(qsize) X(acquire) X(release) X(start) X(append) X(target)     \
  X(args) X(Thread) X(Queue) X(Lock) X(cpu_count) X(time) X(sleep) X(gmtime)            \
  X(strftime) X(title) X(file) X(control) X(_check_while) X(_get_qsize) X(_consumer)     \
  X(_check_max_workers) X(_start) X(_queue_init) X(_async_raise) X(_stop_action)         \
  X(_stop_all) X(_clear_queue) X(_get_run_status) X(_done) X(_send) X(_get_failed)       \
  X(_send_list_thread) X(_thread_list_yield) X(_join_property_log) X(_close) X(_is_close) X(close)    \
  X(empty) X(keys) X(items) X(clear) X(total) X(run) X(stop) X(cancel) X(data) X(task)   \
  X(__qualname__) X(__module__) X(self) X(vigil_var) X(vigil_name) X(vigil_log)             \
  X(finished) X(succeeded) X(stopped) X(cancelled) X(queued) X(running) X(error_rate)     \
  X(first_start) X(last_finish) X(elapsed) X(throughput) X(run_time) X(queue_wait)        \
  X(history) X(histograms) X(min) X(mean) X(p50) X(p90) X(p95) X(p99) X(max) X(unit)      \
  X(precision_bits) X(count) X(sum) X(buckets) X(started) X(pop) X(late_starts)         \
  X(latency) X(errors) X(groups) X(kind) X(message) X(first) X(last) X(example)          \
  X(failed_by_group) X(daemon) X(current_thread) X(is_alive)                              \
  X(logger) X(handlers) X(level) X(hasHandlers) X(isEnabledFor) X(traceback)            \
  X(format_exception)                                                                    \
  X(submitted_error_rate) X(processes) X(process) X(where) X(settings) X(active) X(notes) \
  X(rate)
// clang-format on

struct Names {
#define VTM_DECLARE(n) vt::Ref n;
  VTM_NAMES(VTM_DECLARE)
#undef VTM_DECLARE
};

// The six status words, stored and returned untranslated.
struct StatusWords {
  vt::Ref pending;    // 待运行
  vt::Ref running;    // 运行中
  vt::Ref done;       // 完成
  vt::Ref failed;     // 失败
  vt::Ref stopped;    // 停止
  vt::Ref cancelled;  // 取消
};

// Texts used as values: format codes, fixed answers.
struct Texts {
  vt::Ref empty;         // ""
  vt::Ref width6;        // ">6"
  vt::Ref width5;        // ">5"
  vt::Ref two_decimals;  // ".2f"
  vt::Ref clock_format;  // "%H:%M:%S"
  vt::Ref keep_break;    // "vigil_break"
  vt::Ref no_such_task;  // "Task does not exist"
  vt::Ref p99_9;         // "p99.9"
  vt::Ref microseconds;  // "us"
};

struct State {
  vt::Ref manager_type;  // VigilThreadsMain
  vt::Ref worker_type;   // _Worker
  vt::Ref task_type;     // _Task, a queued task (not exported)
  vt::Ref manager_error;

  vt::Ref threading;
  vt::Ref multiprocessing;
  vt::Ref os;
  vt::Ref time;
  vt::Ref queue_empty;   // queue.Empty
  vt::Ref pickle_loads;  // what a multiprocessing queue unpickles its items with
  vt::Ref builtin_round;
  vt::Ref vigil_log_cls;     // VigilLog, as threads_main imported it
  vt::Ref vigil_var_cls;     // VigilVar
  vt::Ref vigil_var_module;  // keeps the capsule's objects alive
  const VigilVarAPI* var_api = nullptr;

  // Small pieces of interpreter code the module runs.
  vt::Ref flush;  // an empty function: calling it delivers a pending async exception
  vt::Ref walk;   // the generator function behind _thread_list_yield
  // What the module does through CPython's private names.
  vt::PrivateNames priv;

  Names names;
  StatusWords status;
  Texts texts;

  // Set once the main thread has finished and the interpreter is joining the
  // remaining threads: open managers then wind down by themselves.
  std::atomic<bool> shutting_down{false};
  // Calls of a manager's callable in progress on the task threads of this
  // module's managers: after Ctrl-C the program's end tells how many it
  // still waits for.
  std::atomic<int> calls_running{0};

  // Every live manager of this module (not owning; a manager leaves the
  // list when it is freed). Used with the GIL held.
  std::vector<PyObject*> managers;

  // Every object reference above that the module's garbage collection
  // visits and clears, listed once.
  template <class F>
  void each(F&& f) {
    for (vt::Ref* r : {&manager_type, &worker_type, &task_type, &manager_error, &threading,
                       &multiprocessing, &os, &time, &queue_empty, &pickle_loads, &builtin_round,
                       &vigil_log_cls, &vigil_var_cls, &vigil_var_module, &flush, &walk})
      f(*r);
    priv.each(f);
  }
  int traverse(visitproc visit, void* arg);
  void clear();
};

// threading.Thread(target=target[, args=args]), the class looked up afresh
// (tests may stand in for it): not started, default name, not a daemon.
vt::Ref new_thread(const State& st, vt::Borrowed target, vt::Borrowed args = {});

// Sets up a new module object (threads_main/module.cpp).
void exec(PyObject* module, State& st);
using ThisModule = vt::Module<State, exec>;

inline State& state_of_module(PyObject* module) { return ThisModule::of(module); }
// The state of the module that defined `type` (or a base of it).
inline State& state_of_type(PyTypeObject* type) { return ThisModule::of_type(type); }

}  // namespace vtm
