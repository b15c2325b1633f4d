// Parking of an idle dispatcher: with nothing queued and nothing running it
// waits for a wake-up instead of polling every 10 ms.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>

namespace vtm::manager {

struct Parking {
  std::condition_variable cv;
  bool signalled = false;            // guarded by the parking mutex
  std::atomic<bool> parked{false};   // read by wakers without the mutex
  std::atomic<std::uint64_t> kicks{0};
  Parking* prev = nullptr;  // the list of parked dispatchers, under the
  Parking* next = nullptr;  // parking mutex
};

// Counts one piece of new work and wakes the dispatcher if it is parked.
// Never needs the GIL; cheap when the dispatcher is not parked.
void wake(Parking* p);
// Wakes every parked dispatcher (the program is ending).
void wake_all();
// Waits, without the GIL, until woken or `max_ms` passed, unless work came
// in since `seen` (a kicks value read before the pass that found nothing
// to do) or the program is ending. Called with the GIL held.
void park(Parking* p, const std::atomic<bool>& ending, std::uint64_t seen, int max_ms);

}  // namespace vtm::manager
