#include "manager/parking.h"

#include <Python.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>


namespace vtm::manager {

namespace {

// One mutex for all managers of every interpreter: it is taken only to
// park, to wake a parked dispatcher and at program end; its holders touch
// no Python object and never need the GIL.
std::mutex g_mu;
std::vector<Parking*> g_parked;  // guarded by g_mu

}  // namespace

void wake(Parking* p) {
  // The kick comes before the parked test, and park sets parked before it
  // reads the kicks: either the waker sees parked, or the parker sees the
  // kick and does not wait.
  p->kicks.fetch_add(1);
  if (!p->parked.load()) return;
  std::lock_guard<std::mutex> lk(g_mu);
  p->signalled = true;
  p->cv.notify_one();
}

void wake_all() {
  std::lock_guard<std::mutex> lk(g_mu);
  for (Parking* p : g_parked) {
    p->signalled = true;
    p->cv.notify_one();
  }
}

void park(Parking* p, const std::atomic<bool>& ending, std::uint64_t seen, int max_ms) {
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock<std::mutex> lk(g_mu);
    p->parked.store(true);
    if (p->kicks.load() == seen && !ending.load()) {
      g_parked.push_back(p);
      p->cv.wait_for(lk, std::chrono::milliseconds(max_ms),
                     [p] { return p->signalled; });
      g_parked.erase(std::find(g_parked.begin(), g_parked.end(), p));
    }
    p->signalled = false;
    p->parked.store(false);
  }
  Py_END_ALLOW_THREADS
}

}  // namespace vtm::manager
