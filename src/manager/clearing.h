// Submissions against clears of the records: a clear waits for the
// submissions in flight and holds new ones (and the dispatcher's takes)
// until the lists are consistent again.
#pragma once
#include "manager/receiver.h"

namespace vtm::manager {

// A submission (a name on its way to the queue and into totals, or a re-run
// on its way to the queue) for a scope: a clear of the records waits for it
// to end, and it waits, without the GIL, while a clear is at work.
class Submitting {
 public:
  explicit Submitting(const Manager& m);
  ~Submitting();
  Submitting(const Submitting&) = delete;
  Submitting& operator=(const Submitting&) = delete;

 private:
  vt::Ref self_;
};

// A clear of the records for a scope: one at a time, after the submissions
// in flight, with new submissions waiting and the dispatcher taking no name
// until the scope ends. Declined (begun() false) while the dispatcher holds
// a name it has taken, or when this thread is itself inside a submission.
class Clearing {
 public:
  explicit Clearing(const Manager& m);
  ~Clearing();
  bool begun() const { return begun_; }
  Clearing(const Clearing&) = delete;
  Clearing& operator=(const Clearing&) = delete;

 private:
  vt::Ref self_;
  bool begun_ = false;
};

}  // namespace vtm::manager
