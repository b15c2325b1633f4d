// What a manager records about its runs beside the state holder's fields,
// kept in C++ and shared with the workers that run its tasks: the count of
// runs that returned, run-time, queue-wait and latency histograms, the
// failures by kind, the runs by group, and one history row per second while
// work is queued or running.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/ref.h"
#include "stats/histogram.h"

namespace vtm::stats {

// Microseconds of a monotonic clock, and seconds since the epoch.
std::int64_t monotonic_us();
double epoch_seconds();

// Bounds that keep the recorder's memory flat however varied the runs: the
// kinds of failure and the groups beyond them are counted under "other".
inline constexpr std::size_t kErrorKinds = 100;
inline constexpr std::size_t kGroups = 1000;
inline constexpr std::string_view kOther = "other";

struct Row {
  std::int64_t time;  // epoch second the row covers
  std::uint32_t finished, failed, started;
  std::uint32_t queued, running;  // when the row was taken
  // Run-time and latency percentiles of the runs finished in that second,
  // in us; only meaningful when finished > 0.
  std::uint32_t p50, p95, p99, max;
  std::uint32_t lat_p50, lat_p95, lat_p99, lat_max;
  // Its failures by group: `group_failures` entries from this index on in
  // the history's list of them (the rows stay small and fixed in size).
  std::uint32_t group_failures_at, group_failures;
};

// Failures of one group in one second of the history.
struct GroupFailures {
  std::uint32_t group;  // the group's number, in the order groups were made
  std::uint32_t failed;
};

// Hashing for maps keyed by std::string that are looked up by string_view,
// so that a look-up makes no string.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};
using TextEq = std::equal_to<>;

// Failures by kind and message template (the exception's type, or the
// break result), at most kErrorKinds of them; the rest in one "other" row.
class ErrorTable {
 public:
  struct Kind {
    std::string kind, message;  // message: the template
    std::string example;        // the first full message seen
    std::uint64_t count = 0;
    double first = 0, last = 0;  // epoch seconds of the first and last failure
  };
  void add(std::string_view kind, std::string_view message_template, std::string_view message,
           double now);
  // Ordered by count (then kind and message), "other" last.
  std::vector<Kind> rows() const;
  bool empty() const { return kinds_.empty(); }

 private:
  // Keyed by kind, a NUL and message.
  std::unordered_map<std::string, Kind, TextHash, TextEq> kinds_;
};

// The runs of one value of the grouping keyword argument.
struct Group {
  std::uint32_t number = 0;  // in the order groups were made
  std::uint64_t finished = 0, failed = 0;
  double first_start = -1, last_finish = -1;  // epoch seconds
  Histogram run_time, latency;
  ErrorTable errors;
};

// What a run that returned or raised tells the recorder. The texts are made
// by the worker before the call (making them runs Python code, which must
// not run under the recorder's lock).
struct Outcome {
  std::int64_t run_us = 0;
  std::int64_t latency_us = 0;  // end minus intended start
  bool failed = false;
  // The failure's kind, its message and the message's template, when failed.
  std::string_view kind, message, message_template;
  const std::string_view* group = nullptr;  // the run's group, when grouping
};

class Recorder {
 public:
  // Runs that returned (the ones that update min_time, max_time and
  // all_time). Kept here, not read off min_time, which a caller may write:
  // it is what tells a real minimum of 0 ms from "no run yet". Changed only
  // with the GIL held and no Python code running in between; it outlives
  // _clear_record, as the timing fields do.
  std::uint64_t returned = 0;
  // The keyword argument whose value groups the runs (a str), or null.
  // Read and written with the GIL held only.
  vt::Ref group_key;

  // A task started; `waited_us` is its queue wait, or negative when unknown
  // (a name put on the queue by hand).
  void started(std::int64_t waited_us);
  // When the running slots became free (stats::monotonic_us), so that a
  // start's queue wait counts only the time a free slot waited for it: a
  // run's end frees one; a start into one of `room` free slots takes the
  // oldest. Slots free since the manager was made or last idle are older
  // than any queued name: taking one of them gives -1 (no bound).
  void slot_freed(std::int64_t at_us);
  std::int64_t take_slot(long room);
  // Nothing queued or running: every slot is free since before what comes.
  void slots_idle();
  // A run returned or raised.
  void finished(const Outcome& o);
  // A paced start made more than a pass behind its intended time.
  void late_start();
  // The dispatcher's pass: closes the second that has ended, with what is
  // queued and running now. `busy` says whether work is queued or running.
  void tick(std::uint32_t queued, std::uint32_t running, bool busy);
  // _clear_record: everything but the count of returned runs and the
  // grouping key.
  void reset();

  // A copy of what is recorded, taken under the lock; the history ends with
  // the second still being counted, with `queued` and `running` as given.
  struct Snapshot {
    Histogram run_time, queue_wait, latency;
    double first_start, last_finish;  // epoch seconds, -1 when none
    std::uint64_t late_starts;
    std::vector<Row> history;
    std::vector<GroupFailures> history_failures;  // the rows' failures by group
    std::vector<std::string> group_names;         // by group number
    std::vector<ErrorTable::Kind> errors;
    // Ordered by finished runs (then name), "other" last.
    std::vector<std::pair<std::string, Group>> groups;
  };
  std::unique_ptr<Snapshot> snapshot(std::uint32_t queued, std::uint32_t running) const;

 private:
  void write_second_locked(std::vector<Row>& rows, std::vector<GroupFailures>& failures,
                           std::uint32_t queued, std::uint32_t running) const;
  Group& group_locked(std::string_view name);
  void reset_second_groups_locked();

  // Ends of runs whose slot no start has taken yet, oldest on top; at most
  // kFreedSlots (beyond, the oldest reads as free since the last idle).
  static constexpr std::size_t kFreedSlots = 1 << 16;
  std::mutex slots_mu_;  // guards freed_ alone
  std::priority_queue<std::int64_t, std::vector<std::int64_t>, std::greater<>> freed_;

  mutable std::mutex mu_;  // guards what follows; never held over Python code
  Histogram run_time_;
  Histogram queue_wait_;
  Histogram latency_;
  double first_start_ = -1;  // epoch seconds, -1 before any start
  std::uint64_t late_starts_ = 0;
  double last_finish_ = -1;
  ErrorTable errors_;
  std::unordered_map<std::string, Group, TextHash, TextEq> groups_;
  std::vector<std::string> group_names_;  // by number
  // The second being counted (0 before anything happened): its counts, its
  // runs, and whether work was queued or running in it.
  std::int64_t second_ = 0;
  std::uint32_t finished_ = 0, failed_ = 0, started_ = 0;
  bool busy_ = false;
  Histogram second_runs_;
  Histogram second_latency_;
  // The second's failures by group number, and the numbers counted in it.
  std::vector<std::uint32_t> second_group_failed_;
  std::vector<std::uint32_t> second_groups_;
  std::vector<Row> history_;
  std::vector<GroupFailures> history_failures_;
};

using RecorderPtr = std::shared_ptr<Recorder>;

}  // namespace vtm::stats
