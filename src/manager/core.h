// The C++ side of a manager, made with the object and gone with it: what
// its dispatcher, the clears of its records and its batches share. For the
// rooms that keep it (manager/, dispatcher/ and timeout/); the others go
// through their functions.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "common/parking.h"
#include "common/raise_gate.h"
#include "manager/receiver.h"
#include "runner/runner.h"
#include "stats/recorder.h"
#include "worker/watch.h"

namespace vtm::manager {

struct Core {
  // The dispatcher's waits; shared with the workers it starts, which wake it
  // when their run ends.
  std::shared_ptr<vt::Parking> park = std::make_shared<vt::Parking>();
  // Decides, between a close and the dispatcher, whether SystemExit may be
  // raised in the dispatcher thread: in its loop, but not while it holds a
  // name it has taken off the queue and not yet listed in runs (Taking),
  // nor after it has left the loop. Also keeps a clear of the records and
  // a take apart.
  vt::RaiseGate gate;
  enum class Phase { NotStarted, InLoop, Taking, Exited } phase = Phase::NotStarted;
  bool raised = false;    // a close has asked for SystemExit
  bool clearing = false;  // _clear_record is at work (the dispatcher's view)
  // Submissions against clears of the records (see Submitting, Clearing).
  struct {
    std::mutex mu;
    std::condition_variable cv;
    int sending = 0;        // submissions in flight
    bool clearing = false;  // a clear is at work, on thread `clearer`
    unsigned long clearer = 0;
  } records;
  stats::RecorderPtr recorder = std::make_shared<stats::Recorder>();
  worker::WatchPtr watch = std::make_shared<worker::Watch>();  // the per-task time-out
  // The pacer. Starts per second asked with _set_start_rate; 0: one start
  // per pass.
  std::atomic<double> start_rate{0};
  std::atomic<bool> rate_changed{false};  // set by _set_start_rate
  // The time _set_pace_clock holds the pacer's clock at, in
  // stats::monotonic_us; -1: the clock runs.
  std::atomic<std::int64_t> held_clock_us{-1};
  // Its schedule (dispatcher thread only): slot k is due at origin_us plus
  // k/schedule_rate s; origin_us is -1 until the next start begins a
  // schedule, and next_slot is the slot that start takes.
  double schedule_rate = 0;
  std::int64_t origin_us = -1;
  std::int64_t next_slot = 0;
  // The intended time of the start being handed to _consumer, or -1.
  std::int64_t intended_us = -1;
  // When the slot the start being handed to _consumer takes became free,
  // or -1 (free since before any queued name).
  std::int64_t slot_free_us = -1;
  // What the last pass left (dispatcher thread only): when it began, on
  // the pacer's clock; whether due starts wait for a free worker; whether
  // names are still queued.
  std::int64_t pass_us = 0;
  bool starts_waiting = false;
  bool names_left = false;
  std::atomic<int> batches{0};            // batch threads that may still submit
  std::atomic<int> batches_announced{0};  // started by _send_list, not yet running
  std::atomic<bool> retired{false};       // the dispatcher ended at program end
  // Where tasks run: on the manager's runners, unless _set_fresh_threads
  // asked for a new OS thread per task, or the dispatcher is a daemon thread
  // (CPython does not wait for it at exit, and nothing would then wait for
  // the runs it hands over).
  vt::RunnerPool runners;
  std::atomic<bool> fresh_threads{false};
  enum class Dispatcher { Unknown, Plain, Daemon };
  std::atomic<Dispatcher> dispatcher{Dispatcher::Unknown};
  // The threads started for runs (weak references), with their task names,
  // until they are found ended (with the GIL held).
  std::vector<std::pair<vt::Ref, vt::Ref>> started;
  std::size_t prune_at = 16;  // the size at which the ended ones are next dropped
};

Core& core_of(const Manager& m);
Core& core_of(PyObject* self);  // self: a VigilThreadsMain

}  // namespace vtm::manager
