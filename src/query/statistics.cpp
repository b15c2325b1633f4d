#include "query/statistics.h"

#include <algorithm>

#include "common/call.h"
#include "manager/manager.h"
#include "queue/queue.h"
#include "stats/recorder.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::query {

using stats::epoch_seconds;
using stats::ErrorTable;
using stats::Group;
using stats::Histogram;
using stats::Row;

namespace {

Ref integer(std::uint64_t v) { return take(PyLong_FromUnsignedLongLong(v)); }
Ref real(double v) { return take(PyFloat_FromDouble(v)); }
Ref ms(std::uint64_t us) { return real(static_cast<double>(us) / 1000.0); }

// {"min", "mean", "p50", "p90", "p95", "p99", "p99.9", "max"} in ms; each
// None while nothing is recorded.
Ref summary(const State& st, const Histogram& h) {
  const Names& n = st.names;
  Ref out = take(PyDict_New());
  auto put = [&](PyObject* key, auto figure) {
    vt::dict_set(out, key, h.count() ? figure() : Ref::of(Py_None));
  };
  put(n.min, [&] { return ms(h.min()); });
  put(n.mean, [&] { return real(static_cast<double>(h.sum()) / h.count() / 1000.0); });
  const std::pair<PyObject*, std::uint32_t> ranks[] = {
      {n.p50, 50000}, {n.p90, 90000}, {n.p95, 95000}, {n.p99, 99000}, {st.texts.p99_9, 99900}};
  for (auto [key, q] : ranks) put(key, [&] { return ms(h.percentile(q)); });
  put(n.max, [&] { return ms(h.max()); });
  return out;
}

// The histogram in a form that survives JSON and merges exactly: its
// non-empty buckets as [index, count] pairs, ascending.
Ref histogram_json(const State& st, const Histogram& h) {
  const Names& n = st.names;
  Ref out = take(PyDict_New());
  vt::dict_set(out, n.unit, st.texts.microseconds);
  vt::dict_set(out, n.precision_bits, integer(Histogram::kPrecisionBits));
  vt::dict_set(out, n.count, integer(h.count()));
  vt::dict_set(out, n.sum, integer(h.sum()));
  vt::dict_set(out, n.min, h.count() ? integer(h.min()) : Ref::of(Py_None));
  vt::dict_set(out, n.max, h.count() ? integer(h.max()) : Ref::of(Py_None));
  Ref buckets = take(PyList_New(0));
  for (int i = 0; i < Histogram::kBuckets; ++i) {
    if (const std::uint64_t c = h.bucket(i)) {
      Ref pair = take(PyList_New(2));
      PyList_SET_ITEM(pair.get(), 0, integer(static_cast<std::uint64_t>(i)).release());
      PyList_SET_ITEM(pair.get(), 1, integer(c).release());
      vt::list_append(buckets, pair);
    }
  }
  vt::dict_set(out, n.buckets, buckets);
  return out;
}

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

// One group's figures; its elapsed time runs from its first start to its
// last finish.
Ref group(const State& st, const Group& g) {
  const Names& n = st.names;
  auto epoch = [](double t) { return t >= 0 ? real(t) : Ref::of(Py_None); };
  const double elapsed =
      g.first_start >= 0 && g.last_finish >= g.first_start ? g.last_finish - g.first_start : 0.0;
  Ref out = take(PyDict_New());
  vt::dict_set(out, n.finished, integer(g.finished));
  vt::dict_set(out, n.succeeded, integer(g.finished - g.failed));
  vt::dict_set(out, n.failed, integer(g.failed));
  vt::dict_set(out, n.error_rate,
               real(g.finished ? 100.0 * static_cast<double>(g.failed) / g.finished : 0.0));
  vt::dict_set(out, n.first_start, epoch(g.first_start));
  vt::dict_set(out, n.last_finish, epoch(g.last_finish));
  vt::dict_set(out, n.elapsed, real(elapsed));
  vt::dict_set(out, n.throughput, real(elapsed > 0 ? g.finished / elapsed : 0.0));
  vt::dict_set(out, n.run_time, summary(st, g.run_time));
  vt::dict_set(out, n.latency, summary(st, g.latency));
  vt::dict_set(out, n.errors, errors(st, g.errors.rows()));
  Ref histograms = take(PyDict_New());
  vt::dict_set(histograms, n.run_time, histogram_json(st, g.run_time));
  vt::dict_set(histograms, n.latency, histogram_json(st, g.latency));
  vt::dict_set(out, n.histograms, histograms);
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

  const bool busy = queued > 0 || running > 0;
  double elapsed = 0.0;
  if (snap->first_start >= 0) {
    const double end = busy || snap->last_finish < 0 ? epoch_seconds() : snap->last_finish;
    elapsed = std::max(0.0, end - snap->first_start);
  }
  auto epoch = [](double t) { return t >= 0 ? real(t) : Ref::of(Py_None); };

  Ref out = take(PyDict_New());
  vt::dict_set(out, n.finished, integer(finished));
  vt::dict_set(out, n.succeeded, integer(succeeded));
  vt::dict_set(out, n.failed, integer(failed));
  vt::dict_set(out, n.stopped, integer(stopped));
  vt::dict_set(out, n.cancelled, integer(cancelled));
  vt::dict_set(out, n.queued, integer(queued));
  vt::dict_set(out, n.running, integer(running));
  vt::dict_set(out, n.error_rate, real(finished ? 100.0 * failed / finished : 0.0));
  vt::dict_set(out, n.first_start, epoch(snap->first_start));
  vt::dict_set(out, n.last_finish, epoch(snap->last_finish));
  vt::dict_set(out, n.elapsed, real(elapsed));
  vt::dict_set(out, n.throughput, real(elapsed > 0 ? finished / elapsed : 0.0));
  vt::dict_set(out, n.run_time, summary(m.st, snap->run_time));
  vt::dict_set(out, n.queue_wait, summary(m.st, snap->queue_wait));
  vt::dict_set(out, n.latency, summary(m.st, snap->latency));
  vt::dict_set(out, n.late_starts, integer(snap->late_starts));
  vt::dict_set(out, n.errors, errors(m.st, snap->errors));
  Ref groups = take(PyDict_New());
  for (const auto& [name, g] : snap->groups) vt::dict_set(groups, text(name), group(m.st, g));
  vt::dict_set(out, n.groups, groups);
  vt::dict_set(out, n.history, history(m.st, *snap));
  Ref histograms = take(PyDict_New());
  vt::dict_set(histograms, n.run_time, histogram_json(m.st, snap->run_time));
  vt::dict_set(histograms, n.queue_wait, histogram_json(m.st, snap->queue_wait));
  vt::dict_set(histograms, n.latency, histogram_json(m.st, snap->latency));
  vt::dict_set(out, n.histograms, histograms);
  return out;
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
