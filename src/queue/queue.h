// What is read off the queue and the name lists: the queue's size, the
// taking of names from it, the withdrawal of every queued name, and the
// count of started tasks still running. The dispatcher, stop/, wait/ and
// query/ all read these facts here.
#pragma once
#include <vector>

#include "manager/receiver.h"

namespace vtm::queue {

// The size as self._get_qsize() gives it: through the method, so subclasses
// are honoured, and ManagerError once the manager is closed.
vt::Ref size(const Manager& m);
// queue.qsize() itself, for readers that answer on a closed manager too.
vt::Ref size_now(const Manager& m, const collab::Holder& var);
// `size <op> 0`, compared as Python compares it.
bool size_is(vt::Borrowed size, int op);

// Takes up to `most` names without waiting, in queue order, into `out`
// (fewer, or none, when the queue has fewer now). An item that cannot be
// read is logged ("Run error: ") and skipped; the names taken with it are
// kept. Returns how many items left the queue, the skipped ones included.
std::size_t take_some(const Manager& m, const collab::Holder& var, std::size_t most,
                      std::vector<vt::Ref>& out);
// Withdraws every queued name ("取消", listed in cancels), without the log
// messages of _clear_queue; an item that cannot be read, or names no task,
// is skipped and the drain goes on.
void withdraw_all(const Manager& m);

// Started tasks still running. A started task counts once, in dones when it
// ended by itself or in stops when a stop came first, so the rest of runs
// is running.
inline Py_ssize_t running_of(Py_ssize_t runs, Py_ssize_t dones, Py_ssize_t stops) {
  return runs - dones - stops;
}
// The same, the three lists read now.
Py_ssize_t running(const Manager& m, const collab::Holder& var);

}  // namespace vtm::queue
