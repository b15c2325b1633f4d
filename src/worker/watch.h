// The runs of a manager's callable in progress, each listed by its worker
// while the callable may run, so that the time-out (dispatcher/) finds the runs
// past its limit without reading every record.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/ref.h"

namespace vtm::worker {

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
  // With the GIL held.
  void enter(Entry& e, PyObject* worker, std::int64_t began_us);
  void leave(Entry& e);
  // Takes off the list the runs that began before `cutoff_us` and returns
  // their workers. With the GIL held (the workers are referenced).
  std::vector<vt::Ref> take_begun_before(std::int64_t cutoff_us);

 private:
  std::mutex mu_;  // guards the list; never held over Python code
  Entry* head_ = nullptr;
};

using WatchPtr = std::shared_ptr<Watch>;

}  // namespace vtm::worker
