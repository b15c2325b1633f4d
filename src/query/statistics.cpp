#include "query/statistics.h"

#include <algorithm>

#include "common/call.h"
#include "manager/manager.h"
#include "query/summary.h"
#include "queue/queue.h"
#include "stats/recorder.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::query {

using stats::epoch_seconds;
using stats::ErrorTable;
using stats::Row;

namespace {

Ref integer(std::uint64_t v) { return take(PyLong_FromUnsignedLongLong(v)); }
Ref real(double v) { return take(PyFloat_FromDouble(v)); }
Ref ms(std::uint64_t us) { return real(static_cast<double>(us) / 1000.0); }

// Text the recorder kept as UTF-8; lone surrogates of the str it came from
// come back as they were.
Ref text(std::string_view s) {
  return take(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass"));
}

Ref history(const State& st, const stats::Recorder::Snapshot& snap) {
  const Names& n = st.names;
  // Each group's name once, however many rows name it.
  std::vector<Ref> names(snap.group_names.size());
  Ref out = take(PyList_New(0));
  for (const Row& r : snap.history) {
    Ref row = take(PyDict_New());
    vt::dict_set(row, n.time, integer(static_cast<std::uint64_t>(r.time)));
    vt::dict_set(row, n.finished, integer(r.finished));
    vt::dict_set(row, n.failed, integer(r.failed));
    vt::dict_set(row, n.started, integer(r.started));
    vt::dict_set(row, n.queued, integer(r.queued));
    vt::dict_set(row, n.running, integer(r.running));
    auto value = [&](std::uint32_t us) { return r.finished ? ms(us) : Ref::of(Py_None); };
    auto times = [&](std::uint32_t p50, std::uint32_t p95, std::uint32_t p99, std::uint32_t max) {
      Ref out = take(PyDict_New());
      vt::dict_set(out, n.p50, value(p50));
      vt::dict_set(out, n.p95, value(p95));
      vt::dict_set(out, n.p99, value(p99));
      vt::dict_set(out, n.max, value(max));
      return out;
    };
    vt::dict_set(row, n.run_time, times(r.p50, r.p95, r.p99, r.max));
    vt::dict_set(row, n.latency, times(r.lat_p50, r.lat_p95, r.lat_p99, r.lat_max));
    Ref by_group = take(PyDict_New());
    for (std::uint32_t i = 0; i < r.group_failures; ++i) {
      const stats::GroupFailures& f = snap.history_failures[r.group_failures_at + i];
      if (!names[f.group]) names[f.group] = text(snap.group_names[f.group]);
      vt::dict_set(by_group, names[f.group], integer(f.failed));
    }
    vt::dict_set(row, n.failed_by_group, by_group);
    vt::list_append(out, row);
  }
  return out;
}

// [{"kind", "message", "example", "count", "first", "last"}], as ordered.
Ref errors(const State& st, const std::vector<ErrorTable::Kind>& kinds) {
  const Names& n = st.names;
  Ref out = take(PyList_New(0));
  for (const ErrorTable::Kind& k : kinds) {
    Ref row = take(PyDict_New());
    vt::dict_set(row, n.kind, text(k.kind));
    vt::dict_set(row, n.message, text(k.message));
    vt::dict_set(row, n.example, text(k.example));
    vt::dict_set(row, n.count, integer(k.count));
    vt::dict_set(row, n.first, real(k.first));
    vt::dict_set(row, n.last, real(k.last));
    vt::list_append(out, row);
  }
  return out;
}

// What the queue holds now, without the open check of _get_qsize: the
// statistics answer after close too.
std::uint64_t queued_now(const Manager& m, const collab::Holder& var) {
  std::uint64_t queued = 0;
  vt::quietly([&] {
    Ref size = queue::size_now(m, var);
    const long long v = PyLong_AsLongLong(size);
    if (v == -1 && PyErr_Occurred()) throw vt::PyError{};
    queued = v > 0 ? static_cast<std::uint64_t>(v) : 0;
  });
  return queued;
}

}  // namespace

Ref get_statistics(Manager m) {
  const Names& n = m.st.names;
  collab::Holder var = m.var();
  const auto finished = static_cast<std::uint64_t>(var.len(n.dones));
  const auto succeeded = static_cast<std::uint64_t>(var.len(n.success));
  const auto failed = static_cast<std::uint64_t>(var.len(n.failed));
  const auto stopped = static_cast<std::uint64_t>(var.len(n.stops));
  const auto cancelled = static_cast<std::uint64_t>(var.len(n.cancels));
  const Py_ssize_t runs = var.len(n.runs);
  const auto running = static_cast<std::uint64_t>(
      std::max<Py_ssize_t>(0, queue::running_of(runs, static_cast<Py_ssize_t>(finished),
                                                static_cast<Py_ssize_t>(stopped))));
  const std::uint64_t queued = queued_now(m, var);
  auto u32 = [](std::uint64_t v) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, 0xffffffffu));
  };
  const auto snap = manager::recorder_of(m)->snapshot(u32(queued), u32(running));

  Figures f;
  f.finished = finished;
  f.succeeded = succeeded;
  f.failed = failed;
  f.stopped = stopped;
  f.cancelled = cancelled;
  f.queued = queued;
  f.running = running;
  f.late_starts = snap->late_starts;
  auto epoch = [](double t) { return t >= 0 ? Time(t) : std::nullopt; };
  f.first_start = epoch(snap->first_start);
  f.last_finish = epoch(snap->last_finish);
  // Active from the first start to the last finish, or to now while work
  // is queued or running.
  if (f.first_start) {
    const bool busy = queued > 0 || running > 0;
    const double end = busy || !f.last_finish ? epoch_seconds() : *f.last_finish;
    if (end >= *f.first_start) f.active.push_back({*f.first_start, end});
  }
  f.errors = errors(m.st, snap->errors);
  f.history = history(m.st, *snap);
  for (auto& [name, g] : snap->groups) {
    GroupFigures& out = f.groups.emplace_back(text(name), GroupFigures{}).second;
    out.finished = g.finished;
    out.succeeded = g.finished - g.failed;
    out.failed = g.failed;
    out.first_start = epoch(g.first_start);
    out.last_finish = epoch(g.last_finish);
    out.errors = errors(m.st, g.errors.rows());
    out.run_time = std::move(g.run_time);
    out.latency = std::move(g.latency);
  }
  f.run_time = std::move(snap->run_time);
  f.queue_wait = std::move(snap->queue_wait);
  f.latency = std::move(snap->latency);
  return summarise(m.st, f);
}

Ref set_statistics_group(Manager m, Borrowed key) {
  m.check_while();
  if (!key.is(Py_None) && !PyUnicode_Check(key.get()))
    vt::raise_format(PyExc_TypeError,
                     "the statistics group must be a keyword argument name (a str) or None, "
                     "not %.100s",
                     Py_TYPE(key.get())->tp_name);
  // A str subclass could compare and hash as it likes on the workers'
  // threads; its plain str is what looks the argument up.
  Ref plain = key.is(Py_None) ? Ref() : take(PyUnicode_FromObject(key));
  manager::recorder_of(m)->group_key = plain;
  m.log_setting("Statistics group", key);
  return Ref::of(Py_True);
}

}  // namespace vtm::query
