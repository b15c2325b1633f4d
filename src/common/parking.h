// Parking of a thread that has nothing to do (an idle dispatcher): it waits
// for a wake-up instead of polling.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>

namespace vt {

struct Parking {
  std::condition_variable cv;
  bool signalled = false;           // guarded by the parking mutex
  std::atomic<bool> parked{false};  // read by wakers without the mutex
  std::atomic<std::uint64_t> kicks{0};
  Parking* prev = nullptr;  // the list of parked threads, under the
  Parking* next = nullptr;  // parking mutex
};

// Counts one piece of new work and wakes the thread if it is parked. Never
// needs the GIL; cheap when the thread is not parked.
void wake(Parking* p);
// Wakes every parked thread (the program is ending).
void wake_all();
// Waits, without the GIL, until woken or `max_ms` passed, unless work came
// in since `seen` (a kicks value read before the pass that found nothing
// to do) or the program is ending. Called with the GIL held.
void park(Parking* p, const std::atomic<bool>& ending, std::uint64_t seen, int max_ms);

}  // namespace vt
