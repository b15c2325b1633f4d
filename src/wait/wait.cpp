#include "wait/wait.h"

#include "common/call.h"
#include "dispatcher/dispatcher.h"
#include "manager/manager.h"
#include "manager/seams.h"
#include "queue/queue.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::wait {

namespace {

void info(const Manager& m, const char* text) { m.log(collab::Level::Info, text); }

// Through the time module: it releases the GIL, a Ctrl-C during the pause
// comes back as KeyboardInterrupt, and tests can stand in for it.
void pause(const Manager& m, PyObject* seconds) {
  vt::call_method(m.st.time, m.st.names.sleep, {seconds});
}

Ref counters(const Manager& m) { return seam::get_run_status(m); }

// The counter dict goes to the sink as the object itself, not as its text.
void log_counters(const Manager& m) { m.log(collab::Level::Info, counters(m)); }

// "vigil_break" (the default) leaves the stored break result alone.
void store_break_result(const Manager& m, Borrowed break_result) {
  if (!vt::compare(break_result, m.st.texts.keep_break, Py_NE)) return;
  m.var().set(m.st.names.break_result, break_result);
}

// Nothing queued, nothing running, no name held by the dispatcher between
// the queue and runs, and no batch that may still submit: nothing is left to
// wait for. (Read in the order a name travels: a name not found on the queue
// has been taken, so it is either still held by the dispatcher or already
// in runs.)
bool nothing_left(const Manager& m) {
  if (manager::batches_pending(m)) return false;
  collab::Holder var = m.var();
  if (!queue::size_is(queue::size_now(m, var), Py_LE)) return false;
  if (dispatcher::holds_name(m)) return false;
  return queue::running(m, var) <= 0;
}

// The completion test of both waits: _done(), or failing that the stop
// switch, or a manager with nothing left to wait for (a fresh one, one just
// cleared, one whose queue was withdrawn before anything started), whose
// `done` would never come.
bool work_over(const Manager& m) {
  return seam::done(m) || m.var().truth(m.st.names.stop_switch) || nothing_left(m);
}

// A task waiting for its own manager would wait for itself.
void refuse_own_task(const Manager& m) {
  if (manager::in_own_task(m))
    vt::raise_format(PyExc_RuntimeError, "cannot wait for the manager from one of its own tasks");
}

// The common end of both waits. The switch is read again here: it alone
// decides whether the remaining work is stopped.
Ref finish(const Manager& m) {
  if (m.var().truth(m.st.names.stop_switch)) {
    info(m, "Join stop all......");
    seam::stop_all(m);
  }
  info(m, "Join complete");
  return Ref::of(Py_True);
}

// ---- the statistics lines ----

Ref format(Borrowed value, PyObject* how) { return take(PyObject_Format(value, how)); }

Ref small_int(long n) { return take(PyLong_FromLong(n)); }

bool positive(Borrowed value) { return vt::compare(value, small_int(0), Py_GT); }

// current minus old_result.get(key)
Ref since(Borrowed current, Borrowed old_result, PyObject* key, const State& st) {
  Ref before = vt::call_method(old_result, st.names.get, {key});
  return take(PyNumber_Subtract(current, before));
}

// "%H:%M:%S" of time.gmtime(length): whole seconds, wrapping after a day.
Ref clock_text(const State& st, Borrowed length) {
  Ref tm = vt::call_method(st.time, st.names.gmtime, {length});
  return vt::call_method(st.time, st.names.strftime, {st.texts.clock_format, tm});
}

// round(count / length, 1). A length of 0 or less (the clock stood still or
// stepped back) has no rate; it is shown as 0.0.
Ref rate(const State& st, Borrowed count, Borrowed length) {
  if (!positive(length)) return take(PyFloat_FromDouble(0.0));
  Ref q = take(PyNumber_TrueDivide(count, length));
  Ref digits = small_int(1);
  PyObject* args[] = {q, digits};
  return take(PyObject_Vectorcall(st.builtin_round, args, 2, nullptr));
}

// 100 * failed / total, or the integer 0 without submissions.
Ref percent(Borrowed failed, Borrowed total) {
  if (!positive(total)) return small_int(0);
  Ref hundred = small_int(100);
  Ref scaled = take(PyNumber_Multiply(hundred, failed));
  return take(PyNumber_TrueDivide(scaled, total));
}

// int(amount / count), or 0 when nothing finished.
Ref average(Borrowed amount, Borrowed count) {
  if (!positive(count)) return small_int(0);
  Ref q = take(PyNumber_TrueDivide(amount, count));
  return take(PyNumber_Long(q));
}

struct LineFigures {
  const char* sign;  // "+" interval, "=" cumulative
  Borrowed finished;
  Borrowed length_text;
  Borrowed rate;
  Borrowed avg;
  Borrowed failed;
  Borrowed error;
};

// Min and Max are read for each line as it is built.
Ref build_line(const State& st, const collab::Holder& var, const LineFigures& f) {
  const Texts& t = st.texts;
  Ref finished = format(f.finished, t.width6);
  Ref length = format(f.length_text, t.empty);
  Ref rate_text = format(f.rate, t.width6);
  Ref avg = format(f.avg, t.width5);
  Ref min_t = format(var.field(st.names.min_time), t.width5);
  Ref max_t = format(var.field(st.names.max_time), t.width5);
  Ref failed = format(f.failed, t.width5);
  Ref error = format(f.error, t.two_decimals);
  return take(
      PyUnicode_FromFormat("summary %s %U in %U = %U/s Avg: %U Min: %U Max: %U Err: %U (%U%%)",
                           f.sign, finished.get(), length.get(), rate_text.get(), avg.get(),
                           min_t.get(), max_t.get(), failed.get(), error.get()));
}

Ref length_of(const collab::Holder& var, PyObject* field) {
  return take(PyLong_FromSsize_t(var.len(field)));
}

// old_result, elapsed_time = self._join_property_log(...)
void next_interval(const Manager& m, Ref& old_result, Ref& elapsed_time, PyObject* start_time) {
  Ref r = seam::join_property_log(m, old_result, elapsed_time, start_time);
  Ref items = take(PySequence_Tuple(r));
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  if (n < 2)
    vt::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
  if (n > 2) vt::raise_format(PyExc_ValueError, "too many values to unpack (expected 2)");
  old_result = Ref::of(PyTuple_GET_ITEM(items.get(), 0));
  elapsed_time = Ref::of(PyTuple_GET_ITEM(items.get(), 1));
}

}  // namespace

Ref join(Manager m, Borrowed break_result) {
  m.check_while();
  refuse_own_task(m);
  info(m, "Join......");
  store_break_result(m, break_result);
  Ref second = small_int(1);
  do {
    log_counters(m);
    pause(m, second);
  } while (!work_over(m));
  log_counters(m);
  return finish(m);
}

Ref join_log(Manager m) {
  log_counters(m);
  return Ref::of(Py_None);
}

Ref join_property_log(Manager m, Borrowed old_result, Borrowed elapsed_time, Borrowed start_time) {
  const Names& n = m.st.names;

  Ref new_result = counters(m);
  collab::Holder var = m.var();
  Ref all_dones = length_of(var, n.dones);
  Ref all_failed = length_of(var, n.failed);
  Ref all_total = length_of(var, n.totals);
  Ref now_time = manager::time_now(m.st);
  Ref once_dones = since(all_dones, old_result, n.done, m.st);
  // Nothing finished: the interval goes on from the same baseline.
  if (!vt::truth(once_dones)) return take(PyTuple_Pack(2, old_result.get(), elapsed_time.get()));

  Ref once_total = since(all_total, old_result, n.total, m.st);
  Ref span = take(PyNumber_Subtract(now_time, elapsed_time));
  Ref once_time = clock_text(m.st, span);
  Ref total_span = take(PyNumber_Subtract(now_time, start_time));
  Ref total_time = clock_text(m.st, total_span);
  Ref once_failed = since(all_failed, old_result, n.failed, m.st);
  Ref once_tps = rate(m.st, once_dones, span);
  Ref all_tps = rate(m.st, all_dones, total_span);
  Ref once_error = percent(once_failed, once_total);
  Ref all_error = percent(all_failed, all_total);
  Ref avg_time = average(span, once_dones);
  Ref all_avg_time = average(var.field(n.all_time), all_dones);

  Ref interval_line = build_line(
      m.st, var, {"+", once_dones, once_time, once_tps, avg_time, once_failed, once_error});
  Ref total_line = build_line(
      m.st, var, {"=", all_dones, total_time, all_tps, all_avg_time, all_failed, all_error});
  m.log(collab::Level::Info, interval_line);
  m.log(collab::Level::Info, total_line);
  return take(PyTuple_Pack(2, new_result.get(), now_time.get()));
}

Ref join_property(Manager m, Borrowed break_result, Borrowed interval) {
  m.check_while();
  refuse_own_task(m);
  info(m, "Join......");
  store_break_result(m, break_result);
  Ref old_result = counters(m);
  Ref start_time = manager::time_now(m.st);
  Ref elapsed_time = start_time;
  for (;;) {
    next_interval(m, old_result, elapsed_time, start_time);
    pause(m, interval);
    // A set duration alone ends the wait; finished work does not.
    const bool over =
        m.var().truth(m.st.names.duration) ? manager::duration_passed(m, start_time) : work_over(m);
    if (over) break;
  }
  // The last lines close the wait; their baseline is not needed any more.
  next_interval(m, old_result, elapsed_time, start_time);
  return finish(m);
}

}  // namespace vtm::wait
