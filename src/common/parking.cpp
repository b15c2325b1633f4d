#include "common/parking.h"

#include <Python.h>

#include <chrono>
#include <mutex>

namespace vt {

namespace {

// One mutex for all parked threads of every interpreter: it is taken only
// to park, to wake a parked thread and at program end; its holders touch no
// Python object and never need the GIL.
std::mutex g_mu;
// The parked threads, linked through their Parking (no allocation while
// the GIL is released). Guarded by g_mu.
Parking* g_parked = nullptr;

void link(Parking* p) {
  p->next = g_parked;
  p->prev = nullptr;
  if (g_parked) g_parked->prev = p;
  g_parked = p;
}

void unlink(Parking* p) {
  if (p->prev)
    p->prev->next = p->next;
  else
    g_parked = p->next;
  if (p->next) p->next->prev = p->prev;
  p->prev = p->next = nullptr;
}

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
  for (Parking* p = g_parked; p; p = p->next) {
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
      link(p);
      p->cv.wait_for(lk, std::chrono::milliseconds(max_ms), [p] { return p->signalled; });
      unlink(p);
    }
    p->signalled = false;
    p->parked.store(false);
  }
  Py_END_ALLOW_THREADS
}

}  // namespace vt
