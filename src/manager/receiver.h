// The receiver every method body of VigilThreadsMain gets: the instance and
// its module state, and its ways to the state holder and the log sink. The
// other rooms include this, not the manager type; the calls back through
// the instance are in manager/seams.h.
#pragma once
#include "collab/holder.h"
#include "state/state.h"

namespace vtm {

class Manager {
 public:
  static Manager from(PyObject* self);

  PyObject* self;
  State& st;

  // self._var and self._log, read afresh at each use.
  collab::Holder var() const;
  vt::Ref sink() const;
  // self._var.threads
  collab::Table table(const collab::Holder& var) const;
  // self._log.<level>(message)
  void log(collab::Level level, vt::Borrowed message) const;
  void log(collab::Level level, const char* text) const;
  // What every setter logs at info level: "<label>: <format(value)>".
  void log_setting(const char* label, vt::Borrowed value) const;

  // self._check_while(): ManagerError "The manager has stopped" once closed.
  // A seam (manager/seams.h), defined with the others.
  void check_while() const;
  // The guard itself (the switch test), without the method call.
  void check_open() const;
  // Once the program's end has begun a manager takes no new submission from
  // any thread (ManagerError "The manager has stopped"): what a daemon thread
  // or a task kept submitting would keep the program alive for ever.
  void check_program_running() const;
  // ManagerError "The manager has stopped".
  [[noreturn]] void raise_stopped() const;
  // While the failure of a queue operation is being raised: whether it is
  // an ordinary Exception and the manager was closed meanwhile, so that the
  // failure is its closing (the queue itself only says it is closed). A
  // failure to read the switch counts as open.
  bool closed_meanwhile() const;
};

// The receiver of a static method: the module it is bound to.
struct ManagerClass {
  State& st;
  static ManagerClass from(PyObject* module);
};

}  // namespace vtm
