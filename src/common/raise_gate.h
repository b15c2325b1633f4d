// Lets a thread be the target of asynchronous exceptions from other threads
// only while it is in a state its owner says allows it. A raiser decides
// under the gate's lock and marks its request in flight, makes the request
// with no lock held (the request runs Python code, which may even re-enter
// the owner), then ends it. The target, before it leaves the state in which
// requests may reach it, waits with the GIL released until no request is in
// flight, so none can land after it has left.
#pragma once
#include <condition_variable>
#include <mutex>

#include "common/ref.h"

namespace vt {

class RaiseGate {
 public:
  // Runs fn under the lock. fn decides on plain C++ state only: it must not
  // call into the interpreter.
  template <class F>
  auto decide(F&& fn) {
    std::lock_guard<std::mutex> lk(mu_);
    return fn();
  }

  // Under the lock (from within decide): a request is about to be made.
  void begin_raise_locked() noexcept { ++in_flight_; }
  // After the request, with the lock not held.
  void end_raise() noexcept {
    std::lock_guard<std::mutex> lk(mu_);
    if (--in_flight_ == 0) cv_.notify_all();
  }

  // Ends a request in flight when it goes out of scope.
  class Raising {
   public:
    explicit Raising(RaiseGate& g) noexcept : g_(g) {}
    ~Raising() { g_.end_raise(); }
    Raising(const Raising&) = delete;
    Raising& operator=(const Raising&) = delete;

   private:
    RaiseGate& g_;
  };

  // The target: waits, without the GIL, until no request is in flight, then
  // runs fn under the lock (fn must not call into the interpreter either).
  // Called with the GIL held; with no request in flight (nearly always) it
  // keeps the GIL.
  template <class F>
  auto settle(F&& fn) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (in_flight_ == 0) return fn();
    }
    using R = decltype(fn());
    R out{};
    Py_BEGIN_ALLOW_THREADS
    {
      std::unique_lock<std::mutex> lk(mu_);
      cv_.wait(lk, [this] { return in_flight_ == 0; });
      out = fn();
    }
    Py_END_ALLOW_THREADS
    return out;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int in_flight_ = 0;
};

}  // namespace vt
