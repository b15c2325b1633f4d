#include "stats/recorder.h"

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

void Recorder::finished(std::int64_t run_us, bool failed) {
  const double now = epoch_seconds();
  const auto us = static_cast<std::uint64_t>(run_us < 0 ? 0 : run_us);
  std::lock_guard<std::mutex> lk(mu_);
  if (second_ == 0) second_ = static_cast<std::int64_t>(std::floor(now));
  run_time_.record(us);
  second_runs_.record(us);
  ++finished_;
  if (failed) ++failed_;
  last_finish_ = now;
}

void Recorder::late_start() {
  std::lock_guard<std::mutex> lk(mu_);
  ++late_starts_;
}

// Writes the row of the second being counted into `rows`. A second written
// early (the work ended within it, or a snapshot) and again later keeps one
// row, the later one.
void Recorder::write_second_locked(std::vector<Row>& rows, std::uint32_t queued,
                                   std::uint32_t running) const {
  Row row{second_, finished_, failed_, started_, queued, running, 0, 0, 0, 0};
  if (second_runs_.count()) {
    row.p50 = clamp32(second_runs_.percentile(50000));
    row.p95 = clamp32(second_runs_.percentile(95000));
    row.p99 = clamp32(second_runs_.percentile(99000));
    row.max = clamp32(second_runs_.max());
  }
  if (!rows.empty() && rows.back().time == second_)
    rows.back() = row;
  else
    rows.push_back(row);
}

void Recorder::tick(std::uint32_t queued, std::uint32_t running, bool busy) {
  const auto now_s = static_cast<std::int64_t>(std::floor(epoch_seconds()));
  std::lock_guard<std::mutex> lk(mu_);
  if (second_ == 0) second_ = now_s;
  const bool active = finished_ || failed_ || started_;
  if (now_s != second_) {
    if (active || busy_) write_second_locked(history_, queued, running);
    second_ = now_s;
    finished_ = failed_ = started_ = 0;
    busy_ = false;
    second_runs_.reset();
  } else if (!busy && active) {
    // The work has ended within this second: its row is taken now, since
    // an idle dispatcher makes no more passes to take it later.
    write_second_locked(history_, queued, running);
  }
  busy_ = busy_ || busy;
}

void Recorder::reset() {
  std::lock_guard<std::mutex> lk(mu_);
  run_time_.reset();
  queue_wait_.reset();
  first_start_ = last_finish_ = -1;
  late_starts_ = 0;
  finished_ = failed_ = started_ = 0;
  busy_ = false;
  second_runs_.reset();
  history_.clear();
  history_.shrink_to_fit();
}

std::unique_ptr<Recorder::Snapshot> Recorder::snapshot(std::uint32_t queued,
                                                       std::uint32_t running) const {
  auto s = std::make_unique<Snapshot>();
  std::lock_guard<std::mutex> lk(mu_);
  s->run_time = run_time_;
  s->queue_wait = queue_wait_;
  s->first_start = first_start_;
  s->last_finish = last_finish_;
  s->late_starts = late_starts_;
  s->history = history_;
  // The second still being counted is a row too, provisional until the
  // dispatcher closes it: a dispatcher that has ended (close, program end)
  // or not yet passed never will, and its runs must be in the history.
  if (finished_ || failed_ || started_ || busy_) write_second_locked(s->history, queued, running);
  return s;
}

}  // namespace vtm::stats
