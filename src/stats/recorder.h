// What a manager records about its runs beside the state holder's fields,
// kept in C++ and shared with the workers that run its tasks: the count of
// runs that returned, run-time and queue-wait histograms, and one history
// row per second while work is queued or running.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "stats/histogram.h"

namespace vtm::stats {

// Microseconds of a monotonic clock, and seconds since the epoch.
std::int64_t monotonic_us();
double epoch_seconds();

struct Row {
  std::int64_t time;  // epoch second the row covers
  std::uint32_t finished, failed, started;
  std::uint32_t queued, running;  // when the row was taken
  // Run-time percentiles of the runs finished in that second, in us; only
  // meaningful when finished > 0.
  std::uint32_t p50, p95, p99, max;
};

class Recorder {
 public:
  // Runs that returned (the ones that update min_time, max_time and
  // all_time). Kept here, not read off min_time, which a caller may write:
  // it is what tells a real minimum of 0 ms from "no run yet". Changed only
  // with the GIL held and no Python code running in between; it outlives
  // _clear_record, as the timing fields do.
  std::uint64_t returned = 0;

  // A task started; `waited_us` is its queue wait, or negative when unknown
  // (a name put on the queue by hand).
  void started(std::int64_t waited_us);
  // A run returned or raised after `run_us`; `failed` when it counts as
  // failed (raised, or returned the break result).
  void finished(std::int64_t run_us, bool failed);
  // A paced start made more than a pass behind its intended time.
  void late_start();
  // The dispatcher's pass: closes the second that has ended, with what is
  // queued and running now. `busy` says whether work is queued or running.
  void tick(std::uint32_t queued, std::uint32_t running, bool busy);
  // _clear_record: everything but the count of returned runs.
  void reset();

  // A copy of what is recorded, taken under the lock; the history ends with
  // the second still being counted, with `queued` and `running` as given.
  struct Snapshot {
    Histogram run_time, queue_wait;
    double first_start, last_finish;  // epoch seconds, -1 when none
    std::uint64_t late_starts;
    std::vector<Row> history;
  };
  std::unique_ptr<Snapshot> snapshot(std::uint32_t queued, std::uint32_t running) const;

 private:
  void write_second_locked(std::vector<Row>& rows, std::uint32_t queued,
                           std::uint32_t running) const;

  mutable std::mutex mu_;  // guards what follows; never held over Python code
  Histogram run_time_;
  Histogram queue_wait_;
  double first_start_ = -1;  // epoch seconds, -1 before any start
  std::uint64_t late_starts_ = 0;
  double last_finish_ = -1;
  // The second being counted (0 before anything happened): its counts, its
  // runs, and whether work was queued or running in it.
  std::int64_t second_ = 0;
  std::uint32_t finished_ = 0, failed_ = 0, started_ = 0;
  bool busy_ = false;
  Histogram second_runs_;
  std::vector<Row> history_;
};

using RecorderPtr = std::shared_ptr<Recorder>;

}  // namespace vtm::stats
