// Every use of CPython's private names, in one place. Each saves work that
// the public path also does (Thread.start(), multiprocessing.Queue's
// get(False)), so a name that a later 3.13.x no longer has only turns its
// use off: the public path then does the work, slower but the same.
// tests/test_private_names.py checks that each name is there with the shape
// relied on here, and that the public path takes over without it.
#pragma once
#include <memory>
#include <optional>

#include "common/ref.h"

namespace vt {

class PrivateNames {
 public:
  PrivateNames();
  ~PrivateNames();
  PrivateNames(const PrivateNames&) = delete;
  PrivateNames& operator=(const PrivateNames&) = delete;

  // Looks the names up in the running interpreter's thread and
  // multiprocessing modules; what is missing stays off. Throws PyError only
  // when a public name fails.
  void load();

  // Has `hook` run once the main thread has finished, before the interpreter
  // waits for its other non-daemon threads.
  void at_main_end(Borrowed hook) const;

  // Starts a thread as thread.start() does, without waiting for the new
  // thread's handshake when it is a plain threading.Thread.
  void start_thread(Borrowed thread) const;

  // Runs a not yet started plain threading.Thread on an OS thread that
  // already exists (a runner, `ident`): the thread then reads as started
  // there (ident, is_alive(), enumerate()). `bootstrap` is what the runner
  // calls under a fresh thread state, `set_done` what it calls after it (the
  // thread then reads as ended and join() returns). Empty when the thread
  // cannot be run so (another kind of thread, a patched start(), already
  // started, or the names are missing): the caller starts it instead.
  struct Adopted {
    Ref bootstrap;
    Ref set_done;
    explicit operator bool() const noexcept { return static_cast<bool>(bootstrap); }
  };
  bool can_adopt() const noexcept { return static_cast<bool>(make_handle_); }
  Adopted adopt(Borrowed thread, unsigned long ident) const;

  // A plain, open multiprocessing.Queue read straight from its pipe: the
  // descriptor, the lock readers share, the semaphore that counts items,
  // and the bound read of one pickled item. Nothing for another kind of
  // queue, a closed one, or when a name is missing: the caller then uses
  // get(False).
  struct QueueReader {
    int fd = -1;
    Ref rlock;
    Ref sem;
    Ref recv_bytes;
  };
  std::optional<QueueReader> queue_reader(Borrowed queue) const;

  // multiprocessing.Queue.put counts the item before it starts the queue's
  // feeder thread; when that start fails nothing was queued but the count
  // stays. Undoes the count, so the queue's size stays true.
  void undo_refused_put(Borrowed queue, Borrowed error) const;

  // Every object reference, for the module's garbage collection.
  template <class F>
  void each(F&& f) {
    for (Ref* r : {&start_source_, &undo_put_, &thread_type_, &thread_start_, &make_handle_,
                   &limbo_, &limbo_lock_, &queue_type_})
      f(*r);
  }

 private:
  struct Names;  // the attribute names, interned in the module's interpreter
  std::unique_ptr<const Names> n_;
  Ref start_source_;  // the quick start of a thread, defined by a small source
  Ref undo_put_;      // the undo of a refused put, (queue, error)
  Ref thread_type_;   // threading.Thread and its start(), as the module found them
  Ref thread_start_;
  Ref make_handle_;  // the handle of a thread already running
  Ref limbo_;        // threading's threads being started, and their lock
  Ref limbo_lock_;
  Ref queue_type_;  // multiprocessing.queues.Queue
};

}  // namespace vt
