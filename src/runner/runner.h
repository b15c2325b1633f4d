// Runners: native threads kept for running one thread's bootstrap after
// another, each run under a fresh thread state of its own, so that a task
// keeps its own thread as Python sees it (thread-locals, context, the
// current thread) without paying for a new OS thread. A pool belongs to one
// manager: it keeps up to `keep` idle runners; the others end after a short
// idle time, and all of them once the pool is closed.
#pragma once
#include <cstddef>
#include <memory>
#include <optional>

#include "common/parking.h"
#include "common/ref.h"

namespace vt {

class RunnerPool {
 public:
  RunnerPool();
  ~RunnerPool();  // closes the pool; never waits for a runner
  RunnerPool(const RunnerPool&) = delete;
  RunnerPool& operator=(const RunnerPool&) = delete;

  // A runner set aside for one run: an idle one, one finishing its run with
  // none to follow, or a new one. Nothing when the pool is closed or was
  // inherited by a forked child (its runners do not exist there). With the
  // GIL held; a new runner is made with the interpreter's thread stack
  // size, and RuntimeError is raised when it cannot be.
  struct Slot {
    unsigned long ident = 0;  // the runner's thread ident
    void* runner = nullptr;
  };
  std::optional<Slot> reserve();
  // Hands the run to the reserved runner: `bootstrap` is called there under
  // a fresh thread state of the calling thread's interpreter, then
  // `set_done` after that state is cleared; `on_end` is woken once the
  // state is deleted (the interpreter is then free to whoever waits for
  // it). Takes both references.
  void give(const Slot& slot, Ref bootstrap, Ref set_done, std::shared_ptr<Parking> on_end);
  // The reserved runner is not used after all.
  void cancel(const Slot& slot) noexcept;

  // How many idle runners to keep (the others end after a short idle time).
  void set_keep(std::size_t n) noexcept;
  // Runs handed over and not yet ended (their thread state deleted).
  std::size_t in_flight() const;
  // A callable that waits, without the GIL, until no run is in flight (the
  // target of a thread that waits on the pool's behalf); it keeps the
  // pool's bookkeeping alive while it lives.
  Ref waiter() const;
  // No more runs: idle runners end now, busy ones after their run.
  void close() noexcept;

  struct Shared;

 private:
  std::shared_ptr<Shared> sh_;
};

}  // namespace vt
