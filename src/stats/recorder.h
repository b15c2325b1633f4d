// What a manager records about its runs beside the state holder's fields,
// kept in C++ and shared with the workers that run its tasks.
#pragma once
#include <cstdint>
#include <memory>

namespace vtm::stats {

struct Recorder {
  // Runs that returned (the ones that update min_time, max_time and
  // all_time). Kept here, not read off min_time, which a caller may write:
  // it is what tells a real minimum of 0 ms from "no run yet". Changed only
  // with the GIL held and no Python code running in between.
  std::uint64_t returned = 0;
};

using RecorderPtr = std::shared_ptr<Recorder>;

}  // namespace vtm::stats
