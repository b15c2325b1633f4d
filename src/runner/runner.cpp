#include "runner/runner.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <list>
#include <mutex>

#include "common/error.h"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;

// An idle runner beyond the pool's keep ends after this long without work.
constexpr auto kIdleEnd = std::chrono::milliseconds(1500);

// Bumped in the child of a fork: a pool made before it has no runners there
// (only the forking thread was copied), and its locks may have been held by
// threads that do not exist; it is then left alone.
std::atomic<std::uint64_t> g_generation{0};
void forked_child();
std::once_flag g_atfork_once;

enum class State {
  Reserved,   // set aside for a run not yet given
  Busy,       // running
  Finishing,  // its run's Python part is over; the thread state is being cleared
  Idle,
};

struct Runner {
  unsigned long ident = 0;
  State state = State::Reserved;
  bool next_reserved = false;  // set aside, while finishing, for the run after
  bool has_job = false;
  // The run given, owned until the runner takes it.
  PyInterpreterState* interp = nullptr;
  PyObject* bootstrap = nullptr;
  PyObject* set_done = nullptr;
  std::shared_ptr<Parking> on_end;
  std::condition_variable cv;
  Clock::time_point idle_since;
};

// Each run's fresh thread state gets its first frame chunk (16 KiB) from
// the object arena allocator, which maps it with mmap and unmaps it when the
// state is deleted: two system calls, a page fault and a flush of every
// core's address translations per run. A few chunks of that size are kept
// for the next thread state instead; every other size goes through.
constexpr std::size_t kFrameChunk = 16 * 1024;
constexpr int kChunksKept = 32;
PyObjectArenaAllocator g_arena_base;
std::mutex* g_chunks_mu = new std::mutex;  // never destroyed: used until the process ends
void* g_chunks[kChunksKept];
int g_chunks_kept = 0;

void* arena_alloc(void*, std::size_t size) {
  if (size == kFrameChunk) {
    std::lock_guard<std::mutex> lk(*g_chunks_mu);
    if (g_chunks_kept > 0) return g_chunks[--g_chunks_kept];
  }
  return g_arena_base.alloc(g_arena_base.ctx, size);
}

void arena_free(void*, void* ptr, std::size_t size) {
  if (size == kFrameChunk) {
    std::lock_guard<std::mutex> lk(*g_chunks_mu);
    if (g_chunks_kept < kChunksKept) {
      g_chunks[g_chunks_kept++] = ptr;
      return;
    }
  }
  g_arena_base.free(g_arena_base.ctx, ptr, size);
}

std::once_flag g_arena_once;

// Installed once, from the main interpreter (the allocator is the
// process's; a subinterpreter with a GIL of its own could be allocating
// while it is swapped).
void keep_frame_chunks() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return;
  std::call_once(g_arena_once, [] {
    PyObject_GetArenaAllocator(&g_arena_base);
    PyObjectArenaAllocator ours = {nullptr, arena_alloc, arena_free};
    PyObject_SetArenaAllocator(&ours);
  });
}

}  // namespace

struct RunnerPool::Shared {
  std::mutex mu;  // guards all below; never held over Python code or a wait for the GIL
  std::condition_variable quiet;  // in_flight fell to 0
  // Most recently busy first: work goes to the front, so the runners idle
  // longest are at the back and are the ones that end.
  std::list<Runner> runners;
  std::size_t in_flight = 0;
  std::size_t keep = 0;
  bool closed = false;
  const std::uint64_t generation = g_generation.load();

  bool stale() const { return generation != g_generation.load(); }
};

namespace {

using Shared = RunnerPool::Shared;

struct Start {
  std::shared_ptr<Shared> sh;
  Runner* runner;
};

// One run, on the runner: a fresh thread state, the bootstrap, then the
// state cleared (the thread-locals and context of the run go with it), the
// thread marked ended, and the state deleted.
void run_one(Shared& sh, Runner& r, PyInterpreterState* interp, PyObject* bootstrap,
             PyObject* set_done) {
  // A finalizing interpreter ends any thread that attaches to it; the run
  // is dropped with its references (the process is ending).
  if (Py_IsFinalizing()) return;
  PyThreadState* ts = PyThreadState_New(interp);
  if (!ts) return;
  PyEval_AcquireThread(ts);
  {
    Ref boot = Ref::steal(bootstrap);
    Ref done = Ref::steal(set_done);
    // As a thread threading started ends: a SystemExit is the end asked
    // for, anything else is reported.
    if (!Ref::steal(PyObject_CallNoArgs(boot))) {
      if (PyErr_ExceptionMatches(PyExc_SystemExit))
        PyErr_Clear();
      else
        PyErr_FormatUnraisable("Exception ignored in thread started by %R", boot.get());
    }
    boot.reset();
    {
      std::lock_guard<std::mutex> lk(sh.mu);
      r.state = State::Finishing;
    }
    PyThreadState_Clear(ts);
    if (done && !Ref::steal(PyObject_CallNoArgs(done))) PyErr_Clear();
  }
  PyThreadState_DeleteCurrent();
}

void* runner_main(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  Shared& sh = *start->sh;
  Runner& r = *start->runner;
  // Named for tools that list a process's threads (ps, perf, /proc).
  pthread_setname_np(pthread_self(), "vigil-runner");
  // A run may change the thread's signal mask; the next one starts with
  // the mask the runner was made with.
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  std::unique_lock<std::mutex> lk(sh.mu);
  for (;;) {
    while (!r.has_job) {
      if (r.state == State::Idle &&
          (sh.closed || (sh.runners.size() > sh.keep && Clock::now() - r.idle_since >= kIdleEnd))) {
        for (auto it = sh.runners.begin(); it != sh.runners.end(); ++it)
          if (&*it == &r) {
            sh.runners.erase(it);
            break;
          }
        return nullptr;
      }
      r.cv.wait_for(lk, kIdleEnd);
    }
    r.has_job = false;
    r.state = State::Busy;
    PyInterpreterState* interp = std::exchange(r.interp, nullptr);
    PyObject* bootstrap = std::exchange(r.bootstrap, nullptr);
    PyObject* set_done = std::exchange(r.set_done, nullptr);
    std::shared_ptr<Parking> on_end = std::move(r.on_end);
    lk.unlock();
    run_one(sh, r, interp, bootstrap, set_done);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    // A fork during the run (from the task) left this thread alone in the
    // child, with a pool that is not its own there.
    if (sh.stale()) return nullptr;
    if (on_end) wake(on_end.get());
    lk.lock();
    if (--sh.in_flight == 0) sh.quiet.notify_all();
    r.state = r.next_reserved ? State::Reserved : State::Idle;
    r.next_reserved = false;
    r.idle_since = Clock::now();
  }
}

Runner* as_runner(const RunnerPool::Slot& slot) { return static_cast<Runner*>(slot.runner); }

// Moves a runner to the front of the list (it is the one in use now).
void to_front(Shared& sh, Runner& r) {
  for (auto it = sh.runners.begin(); it != sh.runners.end(); ++it)
    if (&*it == &r) {
      sh.runners.splice(sh.runners.begin(), sh.runners, it);
      return;
    }
}

}  // namespace

namespace {

void forked_child() {
  g_generation.fetch_add(1);
  // A thread the fork did not copy may have held it.
  g_chunks_mu = new std::mutex;
}

}  // namespace

RunnerPool::RunnerPool() : sh_(std::make_shared<Shared>()) {
  std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, forked_child); });
  keep_frame_chunks();
}

RunnerPool::~RunnerPool() {
  if (sh_->stale()) {
    // Its lock may be held by a thread the fork did not copy: left as it is.
    new std::shared_ptr<Shared>(std::move(sh_));
    return;
  }
  close();
}

std::optional<RunnerPool::Slot> RunnerPool::reserve() {
  Shared& sh = *sh_;
  if (sh.stale()) return {};
  Runner* made = nullptr;
  {
    std::lock_guard<std::mutex> lk(sh.mu);
    if (sh.closed) return {};
    for (Runner& r : sh.runners) {
      if (r.state == State::Idle) {
        r.state = State::Reserved;
        to_front(sh, r);
        return Slot{r.ident, &r};
      }
    }
    for (Runner& r : sh.runners) {
      if (r.state == State::Finishing && !r.next_reserved && !r.has_job) {
        r.next_reserved = true;
        return Slot{r.ident, &r};
      }
    }
    made = &sh.runners.emplace_front();
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // The stack size threading.stack_size() asked for, as its threads get.
  if (std::size_t size = PyThread_get_stacksize()) pthread_attr_setstacksize(&attr, size);
  auto* start = new Start{sh_, made};
  pthread_t tid{};
  const int err = pthread_create(&tid, &attr, runner_main, start);
  pthread_attr_destroy(&attr);
  if (err != 0) {
    delete start;
    {
      std::lock_guard<std::mutex> lk(sh.mu);
      for (auto it = sh.runners.begin(); it != sh.runners.end(); ++it)
        if (&*it == made) {
          sh.runners.erase(it);
          break;
        }
    }
    raise_format(PyExc_RuntimeError, "can't start new thread");
  }
  std::lock_guard<std::mutex> lk(sh.mu);
  made->ident = static_cast<unsigned long>(tid);
  return Slot{made->ident, made};
}

void RunnerPool::give(const Slot& slot, Ref bootstrap, Ref set_done,
                      std::shared_ptr<Parking> on_end) {
  PyInterpreterState* interp = PyInterpreterState_Get();
  Shared& sh = *sh_;
  Runner& r = *as_runner(slot);
  {
    std::lock_guard<std::mutex> lk(sh.mu);
    r.interp = interp;
    r.bootstrap = bootstrap.release();
    r.set_done = set_done.release();
    r.on_end = std::move(on_end);
    r.has_job = true;
    r.next_reserved = false;
    if (r.state == State::Reserved) r.state = State::Busy;
    ++sh.in_flight;
  }
  // After the lock, so the runner does not wake only to wait for it; a
  // runner with a run given does not end, so it is still there.
  r.cv.notify_one();
}

void RunnerPool::cancel(const Slot& slot) noexcept {
  Shared& sh = *sh_;
  std::lock_guard<std::mutex> lk(sh.mu);
  Runner& r = *as_runner(slot);
  if (r.state == State::Reserved) {
    r.state = State::Idle;
    r.idle_since = Clock::now();
  } else {
    r.next_reserved = false;
  }
  r.cv.notify_one();
}

void RunnerPool::set_keep(std::size_t n) noexcept {
  std::lock_guard<std::mutex> lk(sh_->mu);
  sh_->keep = n;
}

std::size_t RunnerPool::in_flight() const {
  if (sh_->stale()) return 0;
  std::lock_guard<std::mutex> lk(sh_->mu);
  return sh_->in_flight;
}

namespace {

constexpr const char* kWaiterCapsule = "threads_main.runner_pool";

void drop_waited(PyObject* capsule) {
  delete static_cast<std::shared_ptr<Shared>*>(PyCapsule_GetPointer(capsule, kWaiterCapsule));
}

PyObject* wait_quiet_of(PyObject* capsule, PyObject*) {
  auto* sh = static_cast<std::shared_ptr<Shared>*>(PyCapsule_GetPointer(capsule, kWaiterCapsule));
  if (!sh) return nullptr;
  if (!(*sh)->stale()) {
    Shared& pool = **sh;
    Py_BEGIN_ALLOW_THREADS
    {
      std::unique_lock<std::mutex> lk(pool.mu);
      pool.quiet.wait(lk, [&] { return pool.in_flight == 0; });
    }
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyMethodDef wait_def = {"wait_for_runs", wait_quiet_of, METH_NOARGS,
                        "Wait until no run handed to the pool's runners is in flight."};

}  // namespace

Ref RunnerPool::waiter() const {
  auto* held = new std::shared_ptr<Shared>(sh_);
  PyObject* capsule = PyCapsule_New(held, kWaiterCapsule, drop_waited);
  if (!capsule) {
    delete held;
    throw PyError{};
  }
  Ref owner = Ref::steal(capsule);
  return take(PyCFunction_NewEx(&wait_def, owner, nullptr));
}

void RunnerPool::close() noexcept {
  Shared& sh = *sh_;
  if (sh.stale()) return;
  std::lock_guard<std::mutex> lk(sh.mu);
  sh.closed = true;
  for (Runner& r : sh.runners) r.cv.notify_one();
}

}  // namespace vt
