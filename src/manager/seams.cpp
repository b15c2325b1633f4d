#include "manager/seams.h"

#include "common/call.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::seam {

namespace {

// self.<name>(*args)
Ref call(const Manager& m, PyObject* name, std::initializer_list<Borrowed> args = {}) {
  return vt::call_method(m.self, name, args);
}

// self.<name>, bound, for a caller to call later (a thread's target).
Ref bound(const Manager& m, PyObject* name) { return take(PyObject_GetAttr(m.self, name)); }

}  // namespace

void check_max_workers(const Manager& m, Borrowed max_workers, Borrowed maximum) {
  call(m, m.st.names._check_max_workers, {max_workers, maximum});
}

void start(const Manager& m) { call(m, m.st.names._start); }

Ref queue_init_method(const Manager& m) { return bound(m, m.st.names._queue_init); }

void consumer(const Manager& m, Borrowed thread_name) {
  call(m, m.st.names._consumer, {thread_name});
}

Ref get_qsize(const Manager& m) { return call(m, m.st.names._get_qsize); }

bool done(const Manager& m) { return vt::truth(call(m, m.st.names._done)); }

Ref send_method(const Manager& m) { return bound(m, m.st.names._send); }

Ref send_list_thread_method(const Manager& m) { return bound(m, m.st.names._send_list_thread); }

Ref thread_list_yield(const Manager& m, Borrowed thread_list) {
  return call(m, m.st.names._thread_list_yield, {thread_list});
}

Ref get_run_status(const Manager& m) { return call(m, m.st.names._get_run_status); }

Ref join_property_log(const Manager& m, Borrowed old_result, Borrowed elapsed_time,
                      Borrowed start_time) {
  return call(m, m.st.names._join_property_log, {old_result, elapsed_time, start_time});
}

Ref get_failed(const Manager& m) { return call(m, m.st.names._get_failed); }

void stop_action(const Manager& m, Borrowed thread_name) {
  if (thread_name)
    call(m, m.st.names._stop_action, {thread_name});
  else
    call(m, m.st.names._stop_action);
}

void stop_all(const Manager& m) { call(m, m.st.names._stop_all); }

void clear_queue(const Manager& m) { call(m, m.st.names._clear_queue); }

void raise_system_exit(const Manager& m, Borrowed tid) {
  call(m, m.st.names._async_raise, {tid, PyExc_SystemExit});
}

void raise_system_exit(const Manager& m, unsigned long tid) {
  raise_system_exit(m, take(PyLong_FromUnsignedLong(tid)));
}

bool is_close(const Manager& m) { return vt::truth(call(m, m.st.names._is_close)); }

void close(const Manager& m) { call(m, m.st.names._close); }

Ref record_thread(const Manager& m, const collab::Holder& record) {
  return record.field(m.st.names.thread);
}

}  // namespace vtm::seam

namespace vtm {

void Manager::check_while() const { seam::call(*this, st.names._check_while); }

}  // namespace vtm
