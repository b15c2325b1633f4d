// The C++ side of a manager, made with the object and gone with it: what
// its dispatcher, the clears of its records, its batches and its workers
// share. For manager/ and dispatcher/; the other rooms go through the
// functions of manager/manager.h.
#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "common/raise_gate.h"
#include "manager/receiver.h"
#include "stats/recorder.h"
#include "worker/watch.h"

namespace vtm::dispatcher {
struct Own;  // dispatcher/own.h
}

namespace vtm::manager {

struct Core {
  // Decides, between a close and the dispatcher, whether SystemExit may be
  // raised in the dispatcher thread: in its loop, but not while it holds a
  // name it has taken off the queue and not yet listed in runs (Taking),
  // nor after it has left the loop. Also keeps a clear of the records and
  // a take apart.
  vt::RaiseGate gate;
  enum class Phase { NotStarted, InLoop, Taking, Exited } phase = Phase::NotStarted;
  bool raised = false;    // a close has asked for SystemExit
  bool clearing = false;  // _clear_record is at work (the dispatcher's view)
  // Submissions against clears of the records (see Submitting, Clearing).
  struct {
    std::mutex mu;
    std::condition_variable cv;
    int sending = 0;        // submissions in flight
    bool clearing = false;  // a clear is at work, on thread `clearer`
    unsigned long clearer = 0;
  } records;
  stats::RecorderPtr recorder = std::make_shared<stats::Recorder>();
  worker::WatchPtr watch = std::make_shared<worker::Watch>();  // the runs the time-out reads
  std::atomic<int> batches{0};            // batch threads that may still submit
  std::atomic<int> batches_announced{0};  // started by _send_list, not yet running
  // The dispatcher's own state, kept here and opened there only.
  std::shared_ptr<dispatcher::Own> dispatcher;
};

Core& core_of(const Manager& m);
Core& core_of(PyObject* self);  // self: a VigilThreadsMain

}  // namespace vtm::manager
