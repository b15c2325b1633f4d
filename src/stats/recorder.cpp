#include "stats/recorder.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace vtm::stats {

namespace {

std::uint32_t clamp32(std::uint64_t v) {
  return v > 0xffffffffu ? 0xffffffffu : static_cast<std::uint32_t>(v);
}

}  // namespace

std::int64_t monotonic_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

double epoch_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

void Recorder::started(std::int64_t waited_us) {
  const double now = epoch_seconds();
  std::lock_guard<std::mutex> lk(mu_);
  if (second_ == 0) second_ = static_cast<std::int64_t>(std::floor(now));
  ++started_;
  if (waited_us >= 0) queue_wait_.record(static_cast<std::uint64_t>(waited_us));
  if (first_start_ < 0) first_start_ = now;
}

void Recorder::slot_freed(std::int64_t at_us) {
  std::lock_guard<std::mutex> lk(slots_mu_);
  if (freed_.size() >= kFreedSlots) freed_.pop();
  freed_.push(at_us);
}

std::int64_t Recorder::take_slot(long room) {
  std::lock_guard<std::mutex> lk(slots_mu_);
  // The free slots no ended run accounts for have been free since before
  // any name now queued: they are the oldest, and taken first.
  if (room > static_cast<long>(freed_.size()) || freed_.empty()) return -1;
  const std::int64_t oldest = freed_.top();
  freed_.pop();
  return oldest;
}

void Recorder::slots_idle() {
  std::lock_guard<std::mutex> lk(slots_mu_);
  freed_ = {};
}

void ErrorTable::add(std::string_view kind, std::string_view message_template,
                     std::string_view message, double now) {
  std::string key;
  key.reserve(kind.size() + 1 + message_template.size());
  key.append(kind).push_back('\0');
  key.append(message_template);
  auto it = kinds_.find(key);
  // What the "other" row keeps of its first failure names its kind too.
  std::string other_example;
  if (it == kinds_.end()) {
    // The kinds beyond the bound share one row (keyed as the kind "other"
    // with no message, as merges key it), so the table stops growing.
    const std::string other = std::string(kOther) + '\0';
    const bool has_other = kinds_.contains(other);
    if (kinds_.size() - has_other >= kErrorKinds) {
      key = other;
      other_example.append(kind).append(": ").append(message);
      message = other_example;
      kind = kOther;
      message_template = {};
      it = kinds_.find(key);
    }
  }
  if (it == kinds_.end())
    it = kinds_
             .emplace(std::move(key), Kind{std::string(kind), std::string(message_template),
                                           std::string(message), 0, now, now})
             .first;
  ++it->second.count;
  it->second.last = now;
}

std::vector<ErrorTable::Kind> ErrorTable::rows() const {
  std::vector<Kind> out;
  out.reserve(kinds_.size());
  for (const auto& [key, k] : kinds_) out.push_back(k);
  auto is_other = [](const Kind& k) { return k.kind == kOther && k.message.empty(); };
  std::sort(out.begin(), out.end(), [&](const Kind& a, const Kind& b) {
    if (is_other(a) != is_other(b)) return is_other(b);
    if (a.count != b.count) return a.count > b.count;
    return a.kind != b.kind ? a.kind < b.kind : a.message < b.message;
  });
  return out;
}

Group& Recorder::group_locked(std::string_view name) {
  auto it = groups_.find(name);
  if (it != groups_.end()) return it->second;
  const bool has_other = groups_.contains(kOther);
  if (groups_.size() - has_other >= kGroups) name = kOther;
  auto [at, made] = groups_.try_emplace(std::string(name));
  if (made) {
    at->second.number = static_cast<std::uint32_t>(group_names_.size());
    group_names_.push_back(at->first);
  }
  return at->second;
}

void Recorder::finished(const Outcome& o) {
  const double now = epoch_seconds();
  const auto us = static_cast<std::uint64_t>(o.run_us < 0 ? 0 : o.run_us);
  const auto lat = static_cast<std::uint64_t>(o.latency_us < 0 ? 0 : o.latency_us);
  std::lock_guard<std::mutex> lk(mu_);
  if (second_ == 0) second_ = static_cast<std::int64_t>(std::floor(now));
  run_time_.record(us);
  latency_.record(lat);
  second_runs_.record(us);
  second_latency_.record(lat);
  ++finished_;
  if (o.failed) {
    ++failed_;
    errors_.add(o.kind, o.message_template, o.message, now);
  }
  last_finish_ = now;
  if (o.group) {
    Group& g = group_locked(*o.group);
    ++g.finished;
    g.run_time.record(us);
    g.latency.record(lat);
    // No run began before the manager's first start (the two clocks differ
    // by a few microseconds).
    const double began = std::max(now - static_cast<double>(us) / 1e6, first_start_);
    if (g.first_start < 0 || began < g.first_start) g.first_start = began;
    g.last_finish = now;
    if (o.failed) {
      ++g.failed;
      g.errors.add(o.kind, o.message_template, o.message, now);
      if (second_group_failed_.size() <= g.number) second_group_failed_.resize(g.number + 1);
      if (second_group_failed_[g.number]++ == 0) second_groups_.push_back(g.number);
    }
  }
}

void Recorder::late_start() {
  std::lock_guard<std::mutex> lk(mu_);
  ++late_starts_;
}

// Writes the row of the second being counted into `rows`. A second written
// early (the work ended within it, or a snapshot) and again later keeps one
// row, the later one.
void Recorder::write_second_locked(std::vector<Row>& rows, std::vector<GroupFailures>& failures,
                                   std::uint32_t queued, std::uint32_t running) const {
  const bool again = !rows.empty() && rows.back().time == second_;
  if (again) failures.resize(rows.back().group_failures_at);
  Row row{.time = second_,
          .finished = finished_,
          .failed = failed_,
          .started = started_,
          .queued = queued,
          .running = running,
          .group_failures_at = static_cast<std::uint32_t>(failures.size())};
  // (The row's index into the list is 32 bits: a list that long, 32 GB,
  // takes no more.)
  if (failures.size() + second_groups_.size() <= 0xffffffffu) {
    for (const std::uint32_t g : second_groups_) failures.push_back({g, second_group_failed_[g]});
    row.group_failures = static_cast<std::uint32_t>(second_groups_.size());
  }
  if (second_runs_.count()) {
    row.p50 = clamp32(second_runs_.percentile(50000));
    row.p95 = clamp32(second_runs_.percentile(95000));
    row.p99 = clamp32(second_runs_.percentile(99000));
    row.max = clamp32(second_runs_.max());
  }
  if (second_latency_.count()) {
    row.lat_p50 = clamp32(second_latency_.percentile(50000));
    row.lat_p95 = clamp32(second_latency_.percentile(95000));
    row.lat_p99 = clamp32(second_latency_.percentile(99000));
    row.lat_max = clamp32(second_latency_.max());
  }
  if (again)
    rows.back() = row;
  else
    rows.push_back(row);
}

void Recorder::reset_second_groups_locked() {
  for (const std::uint32_t g : second_groups_) second_group_failed_[g] = 0;
  second_groups_.clear();
}

void Recorder::tick(std::uint32_t queued, std::uint32_t running, bool busy) {
  const auto now_s = static_cast<std::int64_t>(std::floor(epoch_seconds()));
  std::lock_guard<std::mutex> lk(mu_);
  if (second_ == 0) second_ = now_s;
  const bool active = finished_ || failed_ || started_;
  if (now_s != second_) {
    if (active || busy_) write_second_locked(history_, history_failures_, queued, running);
    second_ = now_s;
    finished_ = failed_ = started_ = 0;
    busy_ = false;
    second_runs_.reset();
    second_latency_.reset();
    reset_second_groups_locked();
  } else if (!busy && active) {
    // The work has ended within this second: its row is taken now, since
    // an idle dispatcher makes no more passes to take it later.
    write_second_locked(history_, history_failures_, queued, running);
  }
  busy_ = busy_ || busy;
}

void Recorder::reset() {
  std::lock_guard<std::mutex> lk(mu_);
  run_time_.reset();
  queue_wait_.reset();
  latency_.reset();
  first_start_ = last_finish_ = -1;
  errors_ = ErrorTable();
  groups_ = {};
  group_names_.clear();
  second_group_failed_.clear();
  second_groups_.clear();
  history_failures_.clear();
  history_failures_.shrink_to_fit();
  late_starts_ = 0;
  finished_ = failed_ = started_ = 0;
  busy_ = false;
  second_runs_.reset();
  second_latency_.reset();
  history_.clear();
  history_.shrink_to_fit();
}

std::unique_ptr<Recorder::Snapshot> Recorder::snapshot(std::uint32_t queued,
                                                       std::uint32_t running) const {
  auto s = std::make_unique<Snapshot>();
  std::unique_lock<std::mutex> lk(mu_);
  s->run_time = run_time_;
  s->queue_wait = queue_wait_;
  s->latency = latency_;
  s->errors = errors_.rows();
  s->groups.reserve(groups_.size());
  for (const auto& [name, g] : groups_) s->groups.emplace_back(name, g);
  s->first_start = first_start_;
  s->last_finish = last_finish_;
  s->late_starts = late_starts_;
  s->history = history_;
  s->history_failures = history_failures_;
  s->group_names = group_names_;
  // The second still being counted is a row too, provisional until the
  // dispatcher closes it: a dispatcher that has ended (close, program end)
  // or not yet passed never will, and its runs must be in the history.
  if (finished_ || failed_ || started_ || busy_)
    write_second_locked(s->history, s->history_failures, queued, running);
  lk.unlock();
  // Ordered as merges order them, out of the lock.
  std::sort(s->groups.begin(), s->groups.end(), [](const auto& a, const auto& b) {
    const bool ao = a.first == kOther, bo = b.first == kOther;
    if (ao != bo) return bo;
    if (a.second.finished != b.second.finished) return a.second.finished > b.second.finished;
    return a.first < b.first;
  });
  return s;
}

}  // namespace vtm::stats
