#include "query/summary.h"

#include <algorithm>
#include <cmath>

#include "common/call.h"
#include "state/state.h"

using vt::Borrowed;
using vt::Ref;
using vt::take;

namespace vtm::query {

using stats::Histogram;

namespace {

Ref integer(std::uint64_t v) { return take(PyLong_FromUnsignedLongLong(v)); }
Ref real(double v) { return take(PyFloat_FromDouble(v)); }
double ms(std::uint64_t us) { return static_cast<double>(us) / 1000.0; }
Ref epoch(const Time& t) { return t ? real(*t) : Ref::of(Py_None); }

double percent(std::uint64_t part, std::uint64_t whole) {
  return whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}
double per_second(std::uint64_t n, double seconds) {
  return seconds > 0 ? static_cast<double>(n) / seconds : 0.0;
}

// Sorted, and joined where they meet or overlap.
std::vector<Span> joined(std::vector<Span> spans) {
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
    return a.start != b.start ? a.start < b.start : a.end < b.end;
  });
  std::vector<Span> out;
  for (const Span& s : spans) {
    if (!out.empty() && s.start <= out.back().end)
      out.back().end = std::max(out.back().end, s.end);
    else
      out.push_back(s);
  }
  return out;
}

// The length of spans that do not overlap. Added with compensation (as
// sum() adds floats): the lengths of many spans far from epoch 0 lose no
// more than one does.
double length(const std::vector<Span>& spans) {
  double total = 0.0, lost = 0.0;
  for (const Span& s : spans) {
    const double x = s.end - s.start;
    const double t = total + x;
    lost += std::fabs(total) >= std::fabs(x) ? (total - t) + x : (x - t) + total;
    total = t;
  }
  return lost != 0.0 && std::isfinite(lost) ? total + lost : total;
}

std::vector<Span> span_of(const Time& start, const Time& end) {
  if (start && end && *end >= *start) return {{*start, *end}};
  return {};
}

// {"min", "mean", "p50", "p90", "p95", "p99", "p99.9", "max"} in ms; each
// None while nothing is recorded. A percentile is the middle of the bucket
// that holds the value of its rank, within the exact minimum and maximum.
Ref summary(const State& st, const Histogram& h) {
  const Names& n = st.names;
  Ref out = take(PyDict_New());
  auto put = [&](PyObject* key, auto figure) {
    vt::dict_set(out, key, h.count() ? figure() : Ref::of(Py_None));
  };
  put(n.min, [&] { return real(ms(h.min())); });
  // Divided as ints are: exact however large the sum.
  put(n.mean, [&] {
    Ref sum = integer(h.sum()), count = integer(h.count());
    Ref mean = take(PyNumber_TrueDivide(sum, count));
    return real(PyFloat_AsDouble(mean) / 1000.0);
  });
  const std::pair<PyObject*, std::uint32_t> ranks[] = {
      {n.p50, 50000}, {n.p90, 90000}, {n.p95, 95000}, {n.p99, 99000}, {st.texts.p99_9, 99900}};
  for (auto [key, q] : ranks) put(key, [&] { return real(ms(h.percentile(q))); });
  put(n.max, [&] { return real(ms(h.max())); });
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

// A closed loop whose free workers wait longer for their next call than the
// calls take (and at least this long) is held back by the load generator,
// not by the target. A paced run's starts wait for their slot by design.
constexpr double kGeneratorWaitMs = 1.0;

Ref text_of(double v) {  // format(v, ".3g")
  char* s = PyOS_double_to_string(v, 'g', 3, 0, nullptr);
  if (!s) throw vt::PyError{};
  Ref out = take(PyUnicode_FromString(s));
  PyMem_Free(s);
  return out;
}

Ref notes(const State& st, const Figures& f) {
  Ref out = take(PyList_New(0));
  if (!f.queue_wait.count() || !f.run_time.count()) return out;
  // (A look-up may run a key's __eq__, which may change the list.)
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(f.run->settings.get()); ++i) {
    Ref entry = take(PyList_GetItemRef(f.run->settings, i));
    if (!PyDict_Check(entry.get()))
      vt::raise_format(PyExc_TypeError, "each entry of 'settings' must be a dict, not %.100s",
                       Py_TYPE(entry.get())->tp_name);
    PyObject* rate = nullptr;
    vt::check(PyDict_GetItemRef(entry, st.names.rate, &rate));
    Ref held = Ref::steal(rate);
    if (held && !held.is(Py_None)) return out;
  }
  const double wait = ms(f.queue_wait.percentile(50000)), run = ms(f.run_time.percentile(50000));
  if (wait <= std::max(run, kGeneratorWaitMs)) return out;
  vt::list_append(
      out, take(PyUnicode_FromFormat(
               "the load generator, not the target, limits this run: a free worker waited %U "
               "ms (median queue wait) for its next call, longer than the calls took (%U ms "
               "median run time); spread the load over more processes (--processes N)",
               text_of(wait).get(), text_of(run).get())));
  return out;
}

// One group's figures; its elapsed time is the time it was active.
Ref group(const State& st, const GroupFigures& g) {
  const Names& n = st.names;
  const double elapsed =
      length(g.active ? joined(*g.active) : span_of(g.first_start, g.last_finish));
  Ref out = take(PyDict_New());
  vt::dict_set(out, n.finished, integer(g.finished));
  vt::dict_set(out, n.succeeded, integer(g.succeeded));
  vt::dict_set(out, n.failed, integer(g.failed));
  vt::dict_set(out, n.error_rate, real(percent(g.failed, g.finished)));
  vt::dict_set(out, n.first_start, epoch(g.first_start));
  vt::dict_set(out, n.last_finish, epoch(g.last_finish));
  vt::dict_set(out, n.elapsed, real(elapsed));
  vt::dict_set(out, n.throughput, real(per_second(g.finished, elapsed)));
  vt::dict_set(out, n.run_time, summary(st, g.run_time));
  vt::dict_set(out, n.latency, summary(st, g.latency));
  vt::dict_set(out, n.errors, g.errors);
  Ref histograms = take(PyDict_New());
  vt::dict_set(histograms, n.run_time, histogram_json(st, g.run_time));
  vt::dict_set(histograms, n.latency, histogram_json(st, g.latency));
  vt::dict_set(out, n.histograms, histograms);
  return out;
}

// A worker process's row; its elapsed time runs from its first start to
// its last finish.
Ref process(const State& st, const ProcessFigures& p) {
  const Names& n = st.names;
  const double elapsed = length(span_of(p.first_start, p.last_finish));
  Ref out = take(PyDict_New());
  vt::dict_set(out, n.run, p.run);
  vt::dict_set(out, n.process, p.process);
  vt::dict_set(out, n.where, p.where);
  vt::dict_set(out, n.finished, integer(p.finished));
  vt::dict_set(out, n.succeeded, integer(p.succeeded));
  vt::dict_set(out, n.failed, integer(p.failed));
  vt::dict_set(out, n.stopped, integer(p.stopped));
  vt::dict_set(out, n.cancelled, integer(p.cancelled));
  vt::dict_set(out, n.error_rate, real(percent(p.failed, p.finished)));
  vt::dict_set(out, n.first_start, epoch(p.first_start));
  vt::dict_set(out, n.last_finish, epoch(p.last_finish));
  vt::dict_set(out, n.elapsed, real(elapsed));
  vt::dict_set(out, n.throughput, real(per_second(p.finished, elapsed)));
  vt::dict_set(out, n.run_time, summary(st, p.run_time));
  vt::dict_set(out, n.queue_wait, summary(st, p.queue_wait));
  vt::dict_set(out, n.latency, summary(st, p.latency));
  Ref histograms = take(PyDict_New());
  vt::dict_set(histograms, n.run_time, histogram_json(st, p.run_time));
  vt::dict_set(histograms, n.queue_wait, histogram_json(st, p.queue_wait));
  vt::dict_set(histograms, n.latency, histogram_json(st, p.latency));
  vt::dict_set(out, n.histograms, histograms);
  return out;
}

// -- reading the figures from a dict ---------------------------------------------
// Only their form is checked here; what they say is the caller's (vigil_load
// checks a file before it merges or summarises it).

Ref field(Borrowed d, PyObject* key, const char* what) {
  PyObject* v = nullptr;
  if (!vt::check(PyDict_GetItemRef(d, key, &v)))
    vt::raise_format(PyExc_ValueError, "%s: %R is missing", what, key);
  return Ref::steal(v);
}

Ref dict_field(Borrowed d, PyObject* key, const char* what) {
  Ref v = field(d, key, what);
  if (!PyDict_Check(v.get()))
    vt::raise_format(PyExc_TypeError, "%s: %R must be a dict, not %.100s", what, key,
                     Py_TYPE(v.get())->tp_name);
  return v;
}

Ref list_field(Borrowed d, PyObject* key, const char* what) {
  Ref v = field(d, key, what);
  if (!PyList_Check(v.get()))
    vt::raise_format(PyExc_TypeError, "%s: %R must be a list, not %.100s", what, key,
                     Py_TYPE(v.get())->tp_name);
  return v;
}

std::uint64_t whole(Borrowed v, PyObject* key, const char* what) {
  if (PyLong_Check(v.get())) {
    const unsigned long long n = PyLong_AsUnsignedLongLong(v);
    if (!(n == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return n;
    PyErr_Clear();
  }
  vt::raise_format(PyExc_ValueError, "%s: %R must be a whole number from 0 to 2**64 - 1, not %R",
                   what, key, v.get());
}
std::uint64_t whole_field(Borrowed d, PyObject* key, const char* what) {
  return whole(field(d, key, what), key, what);
}

double number(Borrowed v, const char* what) {
  const double t = PyFloat_Check(v.get()) || PyLong_Check(v.get()) ? PyFloat_AsDouble(v) : NAN;
  if (t == -1.0 && PyErr_Occurred()) throw vt::PyError{};
  if (!std::isfinite(t))
    vt::raise_format(PyExc_ValueError, "%s must be finite numbers of seconds, not %R", what,
                     v.get());
  return t;
}

Time time_field(Borrowed d, PyObject* key, const char* what) {
  Ref v = field(d, key, what);
  if (v.is(Py_None)) return std::nullopt;
  return number(v, what);
}

std::vector<Span> spans_of(Borrowed list, const char* what) {
  if (!PyList_Check(list.get()))
    vt::raise_format(PyExc_TypeError, "%s: 'active' must be a list of [start, end]", what);
  std::vector<Span> out;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    Ref pair = take(PyList_GetItemRef(list, i));
    if (!(PyList_Check(pair.get()) || PyTuple_Check(pair.get())) || PySequence_Size(pair) != 2)
      vt::raise_format(PyExc_TypeError, "%s: 'active' must be a list of [start, end]", what);
    const double start = number(take(PySequence_GetItem(pair, 0)), what);
    const double end = number(take(PySequence_GetItem(pair, 1)), what);
    if (end < start)
      vt::raise_format(PyExc_ValueError, "%s: an active span ends before it starts", what);
    out.push_back({start, end});
  }
  return out;
}

Histogram histogram(const State& st, Borrowed hists, PyObject* key, const char* what) {
  const Names& n = st.names;
  Ref d = dict_field(hists, key, what);
  Ref bits = field(d, n.precision_bits, what);
  if (!PyLong_Check(bits.get()) || PyLong_AsLong(bits) != Histogram::kPrecisionBits)
    vt::raise_format(PyExc_ValueError, "%s: the %R histogram must have precision_bits 8", what,
                     key);
  Ref buckets = list_field(d, n.buckets, what);
  Histogram h;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(buckets.get()); ++i) {
    Ref pair = take(PyList_GetItemRef(buckets, i));
    if (!PyList_Check(pair.get()) || PyList_GET_SIZE(pair.get()) != 2)
      vt::raise_format(PyExc_TypeError, "%s: the %R histogram's buckets must be [index, count]",
                       what, key);
    const std::uint64_t index = whole(take(PyList_GetItemRef(pair, 0)), n.buckets, what);
    const std::uint64_t c = whole(take(PyList_GetItemRef(pair, 1)), n.buckets, what);
    if (index >= Histogram::kBuckets)
      vt::raise_format(PyExc_ValueError, "%s: the %R histogram has no bucket %llu", what, key,
                       static_cast<unsigned long long>(index));
    if (h.count() + c < h.count())
      vt::raise_format(PyExc_ValueError, "%s: the %R histogram counts more than 2**64 - 1", what,
                       key);
    h.add_to_bucket(static_cast<int>(index), c);
  }
  if (h.count() != whole_field(d, n.count, what))
    vt::raise_format(PyExc_ValueError, "%s: the %R histogram's buckets do not add up to its count",
                     what, key);
  Ref min = field(d, n.min, what), max = field(d, n.max, what);
  if (min.is(Py_None) != (h.count() == 0) || max.is(Py_None) != (h.count() == 0))
    vt::raise_format(PyExc_ValueError,
                     "%s: the %R histogram has a min and a max exactly when it counts values", what,
                     key);
  if (h.count())
    h.set_totals(whole_field(d, n.sum, what), whole(min, n.min, what), whole(max, n.max, what));
  if (h.min() > h.max())
    vt::raise_format(PyExc_ValueError, "%s: the %R histogram's min is larger than its max", what,
                     key);
  return h;
}

GroupFigures group_figures(const State& st, Borrowed d) {
  const Names& n = st.names;
  const char* what = "a group";
  if (!PyDict_Check(d.get()))
    vt::raise_format(PyExc_TypeError, "a group's figures must be a dict, not %.100s",
                     Py_TYPE(d.get())->tp_name);
  GroupFigures g;
  g.finished = whole_field(d, n.finished, what);
  g.succeeded = whole_field(d, n.succeeded, what);
  g.failed = whole_field(d, n.failed, what);
  g.first_start = time_field(d, n.first_start, what);
  g.last_finish = time_field(d, n.last_finish, what);
  PyObject* active = nullptr;
  if (vt::check(PyDict_GetItemRef(d, n.active, &active)))
    g.active = spans_of(Ref::steal(active), what);
  g.errors = list_field(d, n.errors, what);
  Ref hists = dict_field(d, n.histograms, what);
  g.run_time = histogram(st, hists, n.run_time, what);
  g.latency = histogram(st, hists, n.latency, what);
  return g;
}

ProcessFigures process_figures(const State& st, Borrowed d) {
  const Names& n = st.names;
  const char* what = "a process row";
  if (!PyDict_Check(d.get()))
    vt::raise_format(PyExc_TypeError, "a process row must be a dict, not %.100s",
                     Py_TYPE(d.get())->tp_name);
  ProcessFigures p;
  p.run = field(d, n.run, what);
  p.process = field(d, n.process, what);
  p.where = field(d, n.where, what);
  p.finished = whole_field(d, n.finished, what);
  p.succeeded = whole_field(d, n.succeeded, what);
  p.failed = whole_field(d, n.failed, what);
  p.stopped = whole_field(d, n.stopped, what);
  p.cancelled = whole_field(d, n.cancelled, what);
  p.first_start = time_field(d, n.first_start, what);
  p.last_finish = time_field(d, n.last_finish, what);
  Ref hists = dict_field(d, n.histograms, what);
  p.run_time = histogram(st, hists, n.run_time, what);
  p.queue_wait = histogram(st, hists, n.queue_wait, what);
  p.latency = histogram(st, hists, n.latency, what);
  return p;
}

}  // namespace

Ref summarise(const State& st, const Figures& f) {
  const Names& n = st.names;
  const std::vector<Span> active = joined(f.active);
  const double elapsed = length(active);
  Ref out = take(PyDict_New());
  vt::dict_set(out, n.finished, integer(f.finished));
  vt::dict_set(out, n.succeeded, integer(f.succeeded));
  vt::dict_set(out, n.failed, integer(f.failed));
  vt::dict_set(out, n.stopped, integer(f.stopped));
  vt::dict_set(out, n.cancelled, integer(f.cancelled));
  vt::dict_set(out, n.queued, integer(f.queued));
  vt::dict_set(out, n.running, integer(f.running));
  vt::dict_set(out, n.error_rate, real(percent(f.failed, f.finished)));
  if (f.run) {
    // The summary lines' share: every task submitted is finished, stopped,
    // cancelled, queued or running.
    const std::uint64_t submitted = f.finished + f.stopped + f.cancelled + f.queued + f.running;
    vt::dict_set(out, n.submitted_error_rate, real(percent(f.failed, submitted)));
  }
  vt::dict_set(out, n.first_start, epoch(f.first_start));
  vt::dict_set(out, n.last_finish, epoch(f.last_finish));
  vt::dict_set(out, n.elapsed, real(elapsed));
  vt::dict_set(out, n.throughput, real(per_second(f.finished, elapsed)));
  vt::dict_set(out, n.run_time, summary(st, f.run_time));
  vt::dict_set(out, n.queue_wait, summary(st, f.queue_wait));
  vt::dict_set(out, n.latency, summary(st, f.latency));
  vt::dict_set(out, n.late_starts, integer(f.late_starts));
  vt::dict_set(out, n.errors, f.errors);
  Ref groups = take(PyDict_New());
  for (const auto& [name, g] : f.groups) vt::dict_set(groups, name, group(st, g));
  vt::dict_set(out, n.groups, groups);
  if (f.run) {
    Ref rows = take(PyList_New(0));
    for (const ProcessFigures& p : f.run->processes) vt::list_append(rows, process(st, p));
    vt::dict_set(out, n.processes, rows);
    vt::dict_set(out, n.settings, f.run->settings);
    Ref spans = take(PyList_New(0));
    for (const Span& s : active) {
      Ref pair = take(PyList_New(2));
      PyList_SET_ITEM(pair.get(), 0, real(s.start).release());
      PyList_SET_ITEM(pair.get(), 1, real(s.end).release());
      vt::list_append(spans, pair);
    }
    vt::dict_set(out, n.active, spans);
    vt::dict_set(out, n.notes, notes(st, f));
  }
  vt::dict_set(out, n.history, f.history);
  Ref histograms = take(PyDict_New());
  vt::dict_set(histograms, n.run_time, histogram_json(st, f.run_time));
  vt::dict_set(histograms, n.queue_wait, histogram_json(st, f.queue_wait));
  vt::dict_set(histograms, n.latency, histogram_json(st, f.latency));
  vt::dict_set(out, n.histograms, histograms);
  return out;
}

Ref summarise_recorded(ManagerClass module, Borrowed recorded) {
  const State& st = module.st;
  const Names& n = st.names;
  const char* what = "the recorded figures";
  if (!PyDict_Check(recorded.get()))
    vt::raise_format(PyExc_TypeError, "the recorded figures must be a dict, not %.100s",
                     Py_TYPE(recorded.get())->tp_name);
  Figures f;
  f.finished = whole_field(recorded, n.finished, what);
  f.succeeded = whole_field(recorded, n.succeeded, what);
  f.failed = whole_field(recorded, n.failed, what);
  f.stopped = whole_field(recorded, n.stopped, what);
  f.cancelled = whole_field(recorded, n.cancelled, what);
  f.queued = whole_field(recorded, n.queued, what);
  f.running = whole_field(recorded, n.running, what);
  f.late_starts = whole_field(recorded, n.late_starts, what);
  f.first_start = time_field(recorded, n.first_start, what);
  f.last_finish = time_field(recorded, n.last_finish, what);
  f.errors = list_field(recorded, n.errors, what);
  f.history = list_field(recorded, n.history, what);
  Ref hists = dict_field(recorded, n.histograms, what);
  f.run_time = histogram(st, hists, n.run_time, what);
  f.queue_wait = histogram(st, hists, n.queue_wait, what);
  f.latency = histogram(st, hists, n.latency, what);
  // A snapshot of the groups: reading one runs no code of the caller's, but
  // the list of them stays the same whatever happens to the dict.
  Ref groups = dict_field(recorded, n.groups, what);
  groups = take(PyDict_Items(groups));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(groups.get(), i);
    f.groups.emplace_back(Ref::of(PyTuple_GET_ITEM(item, 0)),
                          group_figures(st, PyTuple_GET_ITEM(item, 1)));
  }
  PyObject* settings = nullptr;
  if (vt::check(PyDict_GetItemRef(recorded, n.settings, &settings))) {
    Ref held = Ref::steal(settings);
    if (!PyList_Check(held.get()))
      vt::raise_format(PyExc_TypeError, "'settings' must be a list, not %.100s",
                       Py_TYPE(held.get())->tp_name);
    RunFigures run{held, {}};
    Ref rows = list_field(recorded, n.processes, what);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i)
      run.processes.push_back(process_figures(st, take(PyList_GetItemRef(rows, i))));
    f.run = std::move(run);
    f.active = spans_of(field(recorded, n.active, what), what);
  } else {
    f.active = span_of(f.first_start, f.last_finish);
  }
  return summarise(st, f);
}

}  // namespace vtm::query
