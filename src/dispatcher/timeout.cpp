#include "dispatcher/timeout.h"

#include <cmath>

#include "common/call.h"
#include "dispatcher/dispatcher.h"
#include "dispatcher/own.h"
#include "manager/manager.h"
#include "manager/seams.h"
#include "stats/recorder.h"
#include "worker/worker.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::dispatcher {

namespace {

// "the task ran longer than its time-out of 2.5 s": the limit as Python
// would print it, without a trailing ".0".
Ref timeout_error(double limit) {
  char* shown = PyOS_double_to_string(limit, 'r', 0, 0, nullptr);
  if (!shown) throw vt::PyError{};
  Ref text = take(PyUnicode_FromFormat("the task ran longer than its time-out of %s s", shown));
  PyMem_Free(shown);
  return take(PyObject_CallOneArg(PyExc_TimeoutError, text));
}

// A run past the limit is taken from its worker as a stop takes it, and
// ended by the same request; it is then recorded here, as failed, whatever
// its callable does next (return, raise, or swallow the request).
void time_out(const Manager& m, PyObject* worker, double limit) {
  unsigned long tid = 0;
  if (!worker::claim_for_timeout(worker, &tid)) return;  // it ended, or a stop took it
  try {
    vt::RaiseGate::Raising request(worker::stop_gate(worker));
    // As _stop asks: a subclass's own _async_raise is honoured.
    seam::raise_system_exit(m, tid);
  } catch (const vt::PyError&) {
    vt::StashedError failure;  // raised after the record: the run is ours to count
    worker::record_timeout(worker, timeout_error(limit));
    throw;
  }
  worker::record_timeout(worker, timeout_error(limit));
}

}  // namespace

Ref set_task_timeout(Manager m, vt::PositiveOrNone seconds) {
  m.check_while();
  const double limit = seconds.number(
      {"the task time-out must be a number of seconds or None, not %.100s",
       "the task time-out must be a positive, finite number of seconds, not %R", false});
  own_of(m).timeout_s.store(limit);
  m.log_setting("Task timeout", seconds);
  return Ref::of(Py_True);
}

void expire(const Manager& m) {
  const double limit = own_of(m).timeout_s.load();
  if (!(limit > 0)) return;
  const std::int64_t now = stats::monotonic_us();
  const double span = std::ceil(limit * 1e6);
  if (span >= static_cast<double>(now)) return;  // no run began that long ago
  for (const Ref& worker :
       manager::watch_of(m)->take_begun_before(now - static_cast<std::int64_t>(span))) {
    vt::catching(
        PyExc_Exception, [&] { time_out(m, worker.get(), limit); },
        [&](const Ref& exc) {
          vt::quietly([&] {
            collab::log_error(m.st, m.sink(), collab::Level::Debug, "Timeout error: ", exc);
          });
        });
  }
}

}  // namespace vtm::dispatcher
