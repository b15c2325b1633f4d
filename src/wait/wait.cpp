#include "wait/wait.h"

#include "collab/collab.h"
#include "manager/manager.h"
#include "threads_main/globals.h"

using vt::Ref;

namespace vtm::wait {

namespace {

// The break result a caller passes to mean "leave the stored one alone".
constexpr const char* kKeepBreak = "vigil_break";

bool info(PyObject* self, const char* text) {
  return collab::log(self, collab::Level::Info, text);
}

// Through the time module: it releases the GIL, a Ctrl-C during the pause
// comes back as KeyboardInterrupt, and tests can stand in for it.
bool pause(PyObject* seconds) {
  return vt::call_method(g.time, names.sleep, {seconds}).operator bool();
}

Ref counters(PyObject* self) { return vt::call_method(self, names._get_run_status); }

// The counter dict goes to the sink as the object itself, not as its text.
bool log_counters(PyObject* self) {
  Ref c = counters(self);
  return c && collab::log(self, collab::Level::Info, c.get());
}

// `value` null means the parameter was not given (its default keeps).
bool store_break_result(PyObject* self, PyObject* value) {
  if (!value) return true;
  int differs = PyObject_RichCompareBool(value, vt::intern(kKeepBreak), Py_NE);
  if (differs <= 0) return differs == 0;
  Ref var = collab::var_of(self);
  return var && collab::set(var.get(), names.break_result, value);
}

// The completion test of both waits: _done(), or failing that the stop
// switch.
int work_over(PyObject* self) {
  Ref d = vt::call_method(self, names._done);
  if (!d) return -1;
  int t = vt::truth(d.get());
  if (t != 0) return t;
  return collab::field_truth(self, names.stop_switch);
}

// The common end of both waits. The switch is read again here: it alone
// decides whether the remaining work is stopped.
PyObject* finish(PyObject* self) {
  int stop = collab::field_truth(self, names.stop_switch);
  if (stop < 0) return nullptr;
  if (stop && (!info(self, "Join stop all......") ||
               !vt::call_method(self, names._stop_all)))
    return nullptr;
  if (!info(self, "Join complete")) return nullptr;
  Py_RETURN_TRUE;
}

PyObject* m_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  PyObject* a[1];
  if (!vt::bind_args("VigilThreadsMain._join", {"break_result"}, 0, args, nargs,
                     kwnames, a))
    return nullptr;
  if (!manager::call_check_while(self) || !info(self, "Join......") ||
      !store_break_result(self, a[0]))
    return nullptr;
  Ref second = Ref::steal(PyLong_FromLong(1));
  if (!second) return nullptr;
  for (;;) {
    if (!log_counters(self) || !pause(second.get())) return nullptr;
    int over = work_over(self);
    if (over < 0) return nullptr;
    if (over) break;
  }
  if (!log_counters(self)) return nullptr;
  return finish(self);
}

PyObject* m_join_log(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                     PyObject* kwnames) {
  if (!vt::no_args("VigilThreadsMain._join_log", nargs, kwnames)) return nullptr;
  if (!log_counters(self)) return nullptr;
  Py_RETURN_NONE;
}

// ---- the statistics lines ----

Ref format(PyObject* value, const char* fmt) {
  return Ref::steal(PyObject_Format(value, vt::intern(fmt)));
}

Ref small_int(long n) { return Ref::steal(PyLong_FromLong(n)); }

// -1 error, else whether value > 0.
int positive(PyObject* value) {
  Ref zero = small_int(0);
  if (!zero) return -1;
  return PyObject_RichCompareBool(value, zero.get(), Py_GT);
}

// old_result.get(key) minus from the current count.
Ref since(PyObject* current, PyObject* old_result, PyObject* key) {
  Ref before = vt::call_method(old_result, names.get, {key});
  if (!before) return Ref();
  return Ref::steal(PyNumber_Subtract(current, before.get()));
}

// "%H:%M:%S" of time.gmtime(length): whole seconds, wrapping after a day.
Ref clock_text(PyObject* length) {
  Ref tm = vt::call_method(g.time, vt::intern("gmtime"), {length});
  if (!tm) return Ref();
  Ref fmt = Ref::steal(PyUnicode_FromString("%H:%M:%S"));
  if (!fmt) return Ref();
  return vt::call_method(g.time, vt::intern("strftime"), {fmt.get(), tm.get()});
}

// round(count / length, 1). A length of 0 or less (the clock stood still or
// stepped back) has no rate; it is shown as 0.0.
Ref rate(PyObject* count, PyObject* length) {
  int pos = positive(length);
  if (pos < 0) return Ref();
  if (!pos) return Ref::steal(PyFloat_FromDouble(0.0));
  Ref q = Ref::steal(PyNumber_TrueDivide(count, length));
  if (!q) return Ref();
  PyObject* round = nullptr;
  if (PyDict_GetItemRef(PyEval_GetBuiltins(), vt::intern("round"), &round) <= 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'round' is not defined");
    return Ref();
  }
  Ref round_fn = Ref::steal(round);
  Ref digits = small_int(1);
  if (!digits) return Ref();
  PyObject* stack[] = {q.get(), digits.get()};
  return Ref::steal(PyObject_Vectorcall(round_fn.get(), stack, 2, nullptr));
}

// 100 * failed / total, or the integer 0 without submissions.
Ref percent(PyObject* failed, PyObject* total) {
  int pos = positive(total);
  if (pos < 0) return Ref();
  if (!pos) return small_int(0);
  Ref hundred = small_int(100);
  if (!hundred) return Ref();
  Ref scaled = Ref::steal(PyNumber_Multiply(hundred.get(), failed));
  if (!scaled) return Ref();
  return Ref::steal(PyNumber_TrueDivide(scaled.get(), total));
}

// int(amount / count), or 0 when nothing finished.
Ref average(PyObject* amount, PyObject* count) {
  int pos = positive(count);
  if (pos < 0) return Ref();
  if (!pos) return small_int(0);
  Ref q = Ref::steal(PyNumber_TrueDivide(amount, count));
  if (!q) return Ref();
  return Ref::steal(PyNumber_Long(q.get()));
}

struct LineFigures {
  const char* sign;  // "+" interval, "=" cumulative
  PyObject* finished;
  PyObject* length_text;
  PyObject* rate;
  PyObject* avg;
  PyObject* failed;
  PyObject* error;
};

// Min and Max are read for each line as it is built.
Ref build_line(PyObject* var, const LineFigures& f) {
  Ref finished = format(f.finished, ">6");
  Ref length = format(f.length_text, "");
  Ref rate = format(f.rate, ">6");
  Ref avg = format(f.avg, ">5");
  if (!finished || !length || !rate || !avg) return Ref();
  Ref min_v = collab::get(var, names.min_time);
  if (!min_v) return Ref();
  Ref min_t = format(min_v.get(), ">5");
  if (!min_t) return Ref();
  Ref max_v = collab::get(var, names.max_time);
  if (!max_v) return Ref();
  Ref max_t = format(max_v.get(), ">5");
  Ref failed = max_t ? format(f.failed, ">5") : Ref();
  Ref error = failed ? format(f.error, ".2f") : Ref();
  if (!error) return Ref();
  return Ref::steal(PyUnicode_FromFormat(
      "summary %s %U in %U = %U/s Avg: %U Min: %U Max: %U Err: %U (%U%%)", f.sign,
      finished.get(), length.get(), rate.get(), avg.get(), min_t.get(), max_t.get(),
      failed.get(), error.get()));
}

Ref length_of(PyObject* var, PyObject* field) {
  Py_ssize_t n = collab::field_len(var, field);
  if (n < 0) return Ref();
  return Ref::steal(PyLong_FromSsize_t(n));
}

PyObject* m_join_property_log(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  if (!vt::bind_args("VigilThreadsMain._join_property_log",
                     {"old_result", "elapsed_time", "start_time"}, 3, args, nargs,
                     kwnames, a))
    return nullptr;
  PyObject *old_result = a[0], *elapsed_time = a[1], *start_time = a[2];

  Ref new_result = counters(self);
  if (!new_result) return nullptr;
  Ref var = collab::var_of(self);
  if (!var) return nullptr;
  Ref all_dones = length_of(var.get(), names.dones);
  if (!all_dones) return nullptr;
  Ref all_failed = length_of(var.get(), names.failed);
  if (!all_failed) return nullptr;
  Ref all_total = length_of(var.get(), names.totals);
  if (!all_total) return nullptr;
  Ref now_time = manager::time_now();
  if (!now_time) return nullptr;
  Ref once_dones = since(all_dones.get(), old_result, names.done);
  if (!once_dones) return nullptr;
  int any = vt::truth(once_dones.get());
  if (any < 0) return nullptr;
  // Nothing finished: the interval goes on from the same baseline.
  if (!any) return PyTuple_Pack(2, old_result, elapsed_time);

  Ref once_total = since(all_total.get(), old_result, vt::intern("total"));
  if (!once_total) return nullptr;
  Ref span = Ref::steal(PyNumber_Subtract(now_time.get(), elapsed_time));
  if (!span) return nullptr;
  Ref once_time = clock_text(span.get());
  if (!once_time) return nullptr;
  Ref total_span = Ref::steal(PyNumber_Subtract(now_time.get(), start_time));
  if (!total_span) return nullptr;
  Ref total_time = clock_text(total_span.get());
  if (!total_time) return nullptr;
  Ref once_failed = since(all_failed.get(), old_result, names.failed);
  if (!once_failed) return nullptr;
  Ref once_tps = rate(once_dones.get(), span.get());
  if (!once_tps) return nullptr;
  Ref all_tps = rate(all_dones.get(), total_span.get());
  if (!all_tps) return nullptr;
  Ref once_error = percent(once_failed.get(), once_total.get());
  if (!once_error) return nullptr;
  Ref all_error = percent(all_failed.get(), all_total.get());
  if (!all_error) return nullptr;
  Ref avg_time = average(span.get(), once_dones.get());
  if (!avg_time) return nullptr;
  Ref run_time = collab::get(var.get(), names.all_time);
  if (!run_time) return nullptr;
  Ref all_avg_time = average(run_time.get(), all_dones.get());
  if (!all_avg_time) return nullptr;

  Ref interval_line =
      build_line(var.get(), {"+", once_dones.get(), once_time.get(), once_tps.get(),
                             avg_time.get(), once_failed.get(), once_error.get()});
  if (!interval_line) return nullptr;
  Ref total_line =
      build_line(var.get(), {"=", all_dones.get(), total_time.get(), all_tps.get(),
                             all_avg_time.get(), all_failed.get(), all_error.get()});
  if (!total_line ||
      !collab::log(self, collab::Level::Info, interval_line.get()) ||
      !collab::log(self, collab::Level::Info, total_line.get()))
    return nullptr;
  return PyTuple_Pack(2, new_result.get(), now_time.get());
}

// old_result, elapsed_time = self._join_property_log(...)
bool next_interval(PyObject* self, Ref& old_result, Ref& elapsed_time,
                   PyObject* start_time) {
  Ref r = vt::call_method(self, vt::intern("_join_property_log"),
                          {old_result.get(), elapsed_time.get(), start_time});
  if (!r) return false;
  Ref items = Ref::steal(PySequence_Tuple(r.get()));
  if (!items) return false;
  Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  if (n != 2) {
    if (n < 2)
      PyErr_Format(PyExc_ValueError,
                   "not enough values to unpack (expected 2, got %zd)", n);
    else
      PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
  }
  old_result = Ref::borrow(PyTuple_GET_ITEM(items.get(), 0));
  elapsed_time = Ref::borrow(PyTuple_GET_ITEM(items.get(), 1));
  return true;
}

PyObject* m_join_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* a[2];
  if (!vt::bind_args("VigilThreadsMain._join_property", {"break_result", "interval"},
                     1, args, nargs, kwnames, a))
    return nullptr;
  Ref interval = a[1] ? Ref::borrow(a[1]) : small_int(5);
  if (!interval) return nullptr;
  if (!manager::call_check_while(self) || !info(self, "Join......") ||
      !store_break_result(self, a[0]))
    return nullptr;
  Ref old_result = counters(self);
  if (!old_result) return nullptr;
  Ref start_time = manager::time_now();
  if (!start_time) return nullptr;
  Ref elapsed_time = start_time;
  for (;;) {
    if (!next_interval(self, old_result, elapsed_time, start_time.get()) ||
        !pause(interval.get()))
      return nullptr;
    int timed = collab::field_truth(self, names.duration);
    if (timed < 0) return nullptr;
    // A set duration alone ends the wait; finished work does not.
    int over = timed ? manager::duration_passed(self, start_time.get()) : work_over(self);
    if (over < 0) return nullptr;
    if (over) break;
  }
  // The last lines close the wait; their baseline is not needed any more.
  if (!next_interval(self, old_result, elapsed_time, start_time.get())) return nullptr;
  return finish(self);
}

}  // namespace

PyMethodDef methods[] = {
    VT_METHOD("_join", m_join, 0,
          "_join($self, break_result='vigil_break')\n--\n\n"
          "Block until all work is done or the stop switch is raised, logging "
          "the counters once a second. Any break_result other than "
          "'vigil_break' (None included) is stored first. With the stop switch "
          "raised, the remaining work is stopped with _stop_all. Returns True."),
    VT_METHOD("_join_log", m_join_log, 0,
          "_join_log($self, /)\n--\n\n"
          "Log the counters once."),
    VT_METHOD("_join_property", m_join_property, 0,
          "_join_property($self, break_result, interval=5)\n--\n\n"
          "Block like _join, but every interval seconds in which tasks finished "
          "log two statistics lines (this interval, and since the wait began). "
          "With the manager's duration set the wait instead lasts that many "
          "seconds. Returns True."),
    VT_METHOD("_join_property_log", m_join_property_log, 0,
          "_join_property_log($self, old_result, elapsed_time, start_time)\n--\n\n"
          "Log the two statistics lines measured from the counters old_result "
          "taken at elapsed_time, and from start_time. Returns the baseline of "
          "the next interval: (old_result, elapsed_time) unchanged when no task "
          "finished since, else (current counters, now)."),
    {nullptr, nullptr, 0, nullptr}};

}  // namespace vtm::wait
