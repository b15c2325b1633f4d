// What the dispatcher keeps of its own for a manager: its settings, its
// schedule, where its tasks run and the runs it has started. The manager
// holds it for its lifetime (manager/core.h) without knowing what is in it;
// only this room makes it and reads it. For the files of dispatcher/.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "common/parking.h"
#include "manager/receiver.h"
#include "runner/runner.h"

namespace vtm::dispatcher {

struct Own {
  // The dispatcher's waits; shared with the workers and runners of the runs
  // it starts, which wake it when their run ends.
  std::shared_ptr<vt::Parking> park = std::make_shared<vt::Parking>();

  // What the setters set, read by the dispatcher at its next pass.
  // Starts per second (_set_start_rate); 0: one start per pass.
  std::atomic<double> start_rate{0};
  std::atomic<bool> rate_changed{false};  // a new rate begins a new schedule
  // The time _set_pace_clock holds the pacer's clock at, in
  // stats::monotonic_us; -1: the clock runs.
  std::atomic<std::int64_t> held_clock_us{-1};
  // The limit on each run in seconds (_set_task_timeout); 0: none.
  std::atomic<double> timeout_s{0};
  // A new OS thread per task rather than a runner (_set_fresh_threads).
  std::atomic<bool> fresh_threads{false};

  // The schedule (dispatcher thread only): slot k is due at origin_us plus
  // k/schedule_rate s; origin_us is -1 until the next start begins a
  // schedule, and next_slot is the slot that start takes.
  double schedule_rate = 0;
  std::int64_t origin_us = -1;
  std::int64_t next_slot = 0;
  // What the last pass left (dispatcher thread only): when it began, on the
  // pacer's clock; whether due starts wait for a free worker; whether names
  // are still queued.
  std::int64_t pass_us = 0;
  bool starts_waiting = false;
  bool names_left = false;

  std::atomic<bool> retired{false};  // the dispatcher ended at program end
  // Where tasks run: on the manager's runners, unless fresh_threads asks
  // for a new OS thread per task, or the dispatcher is a daemon thread
  // (CPython does not wait for it at exit, and nothing would then wait for
  // the runs it hands over).
  vt::RunnerPool runners;
  enum class Thread { Unknown, Plain, Daemon };
  std::atomic<Thread> thread{Thread::Unknown};
  // The threads started for runs (weak references), with their task names,
  // until they are found ended (with the GIL held).
  std::vector<std::pair<vt::Ref, vt::Ref>> started;
  std::size_t prune_at = 16;  // the size at which the ended ones are next dropped
};

// The manager's; made at its first use. With the GIL held.
Own& own_of(const Manager& m);

}  // namespace vtm::dispatcher
