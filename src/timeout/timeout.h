// The per-task time-out: the limit a manager puts on each run of its
// callable, the list of its runs in progress, and the check of the
// dispatcher's pass that stops a run past the limit and counts it as
// failed with a TimeoutError.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "manager/receiver.h"

namespace vtm::timeout {

// A run in progress, kept in the worker and linked into its manager's watch
// while the callable may run.
struct Entry {
  PyObject* worker = nullptr;  // borrowed: listed only while its start() runs
  std::int64_t began_us = 0;   // stats::monotonic_us() when the callable was called
  Entry* prev = nullptr;
  Entry* next = nullptr;
  bool listed = false;
};

// One per manager, shared with the workers it makes (a worker may outlive
// its manager).
class Watch {
 public:
  // The limit in seconds; 0: none.
  std::atomic<double> seconds{0};

  // With the GIL held.
  void enter(Entry& e, PyObject* worker, std::int64_t began_us);
  void leave(Entry& e);
  // Takes off the list the runs that began before `cutoff_us` and returns
  // their workers. With the GIL held (the workers are referenced).
  std::vector<vt::Ref> take_begun_before(std::int64_t cutoff_us);
  bool any() const;

 private:
  mutable std::mutex mu_;  // guards the list; never held over Python code
  Entry* head_ = nullptr;
};

using WatchPtr = std::shared_ptr<Watch>;

// The manager's watch, for the workers it makes.
WatchPtr watch_of(const Manager& m);

// _set_task_timeout(seconds=None).
vt::Ref set_task_timeout(Manager m, vt::Borrowed seconds);

// The dispatcher's pass: stops every run that has lasted longer than the
// limit and records it as failed. Its own failures are logged, not raised.
// The pass must come at least every 10 ms while watching() is true.
void expire(const Manager& m);
// A limit is set and a run is in progress.
bool watching(const Manager& m);

}  // namespace vtm::timeout
