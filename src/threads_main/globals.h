// Module-wide objects of threads_main: its types, the standard-library
// modules it calls, the status words and the interned names it looks up.
#pragma once
#include <atomic>

#include "common/pyutil.h"

namespace vtm {

struct Globals {
  PyObject* module_dict = nullptr;  // threads_main's namespace (VigilLog, VigilVar)
  PyTypeObject* manager_type = nullptr;
  PyTypeObject* worker_type = nullptr;
  PyObject* manager_error = nullptr;

  PyObject* threading = nullptr;
  PyObject* multiprocessing = nullptr;
  PyObject* os = nullptr;
  PyObject* time = nullptr;
  PyObject* queue_empty = nullptr;  // queue.Empty

  // Set once the main thread has finished and the interpreter is joining
  // the remaining threads: open managers then wind down by themselves.
  std::atomic<bool> shutting_down{false};
};
extern Globals g;

// Status words, stored and returned untranslated.
struct Status {
  PyObject* pending = nullptr;    // 待运行
  PyObject* running = nullptr;    // 运行中
  PyObject* done = nullptr;       // 完成
  PyObject* failed = nullptr;     // 失败
  PyObject* stopped = nullptr;    // 停止
  PyObject* cancelled = nullptr;  // 取消
};
extern Status status;

// Interned attribute and method names.
struct Names {
#define TM_NAMES(X)                                                         \
  X(_var) X(_log) X(func) X(queue) X(lock) X(reserve) X(duration) X(switch_) \
  X(stop_switch) X(threads) X(is_run) X(done) X(name) X(min_time)           \
  X(max_time) X(all_time) X(totals) X(runs) X(stops) X(cancels) X(dones)    \
  X(success) X(failed) X(start_time) X(end_time) X(max_workers)             \
  X(thread_init) X(break_result) X(thread) X(result) X(status) X(ident)     \
  X(info) X(debug) X(warning) X(add) X(set_kwargs) X(get) X(put) X(qsize)   \
  X(acquire) X(release) X(start) X(append) X(target) X(Thread) X(Queue)     \
  X(Lock) X(cpu_count) X(time) X(sleep) X(title) X(file) X(control)         \
  X(VigilLog) X(VigilVar) X(_check_while) X(_get_qsize) X(_consumer)        \
  X(_check_max_workers) X(_start) X(_queue_init) X(_async_raise)            \
  X(_stop_action) X(_stop_all) X(_clear_queue) X(_get_run_status) X(_done)  \
  X(_send) X(_get_failed) X(close) X(empty) X(keys) X(items)          \
  X(total) X(run) X(stop) X(cancel) X(data) X(task)
#define TM_DECLARE(n) PyObject* n = nullptr;
  TM_NAMES(TM_DECLARE)
#undef TM_DECLARE
};
extern Names names;

bool init_globals();

}  // namespace vtm
