// The statistics' one summariser: from what was recorded (counts, times,
// histograms, history rows, the failures and groups tables) it derives the
// rest (error rates, elapsed times, throughputs, the run-time, queue-wait
// and latency summaries, the notes) and writes the statistics dict.
// _get_statistics hands it a manager's recorder; threads_main._summarise
// what a caller recorded or merged (vigil_load's runs, files and merges).
#pragma once
#include <optional>
#include <utility>
#include <vector>

#include "manager/receiver.h"
#include "stats/histogram.h"

namespace vtm::query {

// Epoch seconds, or none.
using Time = std::optional<double>;

struct Span {
  double start, end;
};

struct GroupFigures {
  std::uint64_t finished = 0, succeeded = 0, failed = 0;
  Time first_start, last_finish;
  // The spans in which the group was active, when a merge knows them;
  // otherwise it was active from its first start to its last finish.
  std::optional<std::vector<Span>> active;
  vt::Ref errors;  // its failures by kind, as they go out
  stats::Histogram run_time, latency;
};

// A worker process of a run spread over several.
struct ProcessFigures {
  vt::Ref run, process, where;  // as they go out
  std::uint64_t finished = 0, succeeded = 0, failed = 0, stopped = 0, cancelled = 0;
  Time first_start, last_finish;
  stats::Histogram run_time, queue_wait, latency;
};

// What a load run adds: its settings (one entry per run it covers) and a
// row per worker process. Its elapsed time is that of Figures::active.
struct RunFigures {
  vt::Ref settings;
  std::vector<ProcessFigures> processes;
};

struct Figures {
  std::uint64_t finished = 0, succeeded = 0, failed = 0, stopped = 0, cancelled = 0;
  std::uint64_t queued = 0, running = 0, late_starts = 0;
  Time first_start, last_finish;
  std::vector<Span> active;  // elapsed time is the length of their union
  vt::Ref errors, history;   // the tables, as they go out
  std::vector<std::pair<vt::Ref, GroupFigures>> groups;  // by name, in order
  stats::Histogram run_time, queue_wait, latency;
  std::optional<RunFigures> run;  // a load run's statistics
};

vt::Ref summarise(const State& st, const Figures& f);

// threads_main._summarise(recorded): the same from a dict.
vt::Ref summarise_recorded(ManagerClass module, vt::Borrowed recorded);

}  // namespace vtm::query
