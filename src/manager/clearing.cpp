#include "manager/clearing.h"

#include "manager/core.h"

using vt::Ref;

namespace vtm::manager {

namespace {

// Submissions this thread is inside (of any manager): a clear there would
// wait for itself.
thread_local int tls_submitting = 0;

}  // namespace

Submitting::Submitting(const Manager& m) : self_(Ref::of(m.self)) {
  auto& r = core_of(m).records;
  const unsigned long me = PyThread_get_thread_ident();
  // A clear's own thread may submit (from code the clear runs): it is not
  // held up by itself.
  auto free = [&] { return !r.clearing || r.clearer == me; };
  bool entered = false;
  {
    std::lock_guard<std::mutex> lk(r.mu);
    if (free()) {
      ++r.sending;
      entered = true;
    }
  }
  if (!entered) {
    // (The lock is let go before the GIL is taken back.)
    Py_BEGIN_ALLOW_THREADS
    {
      std::unique_lock<std::mutex> lk(r.mu);
      r.cv.wait(lk, free);
      ++r.sending;
    }
    Py_END_ALLOW_THREADS
  }
  ++tls_submitting;
}

Submitting::~Submitting() {
  --tls_submitting;
  auto& r = core_of(self_.get()).records;
  std::lock_guard<std::mutex> lk(r.mu);
  if (--r.sending == 0) r.cv.notify_all();
}

Clearing::Clearing(const Manager& m) : self_(Ref::of(m.self)) {
  if (tls_submitting > 0) return;
  Core& core = core_of(m);
  auto& r = core.records;
  const unsigned long me = PyThread_get_thread_ident();
  // One clear at a time; once it holds the flag, new submissions wait and
  // it waits for those in flight.
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock<std::mutex> lk(r.mu);
    r.cv.wait(lk, [&] { return !r.clearing; });
    r.clearing = true;
    r.clearer = me;
    r.cv.wait(lk, [&] { return r.sending == 0; });
  }
  Py_END_ALLOW_THREADS
  begun_ = core.gate.decide([&] {
    if (core.phase == Core::Phase::Taking) return false;
    core.clearing = true;
    return true;
  });
  if (!begun_) {
    std::lock_guard<std::mutex> lk2(r.mu);
    r.clearing = false;
    r.cv.notify_all();
  }
}

Clearing::~Clearing() {
  if (!begun_) return;
  Core& core = core_of(self_.get());
  core.gate.decide([&] { core.clearing = false; });
  std::lock_guard<std::mutex> lk(core.records.mu);
  core.records.clearing = false;
  core.records.cv.notify_all();
}

}  // namespace vtm::manager
