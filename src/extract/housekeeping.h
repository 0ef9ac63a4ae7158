// Removals that need not hold anybody up: what killed runs left, the previous installation
// once the new one is in place, a failed run's stage. Each is tied to the record that names
// it, held locked until it is done, so that a run started meanwhile leaves it alone; what
// cannot be finished stays recorded for a later run.
//
// Threads: one thread at a time. Ownership: holds its records (and their locks) until it
// has run or has handed them to the process that runs it.
#ifndef SFX_EXTRACT_HOUSEKEEPING_H_
#define SFX_EXTRACT_HOUSEKEEPING_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "held_record.h"

class Housekeeping {
 public:
  void add(HeldRecord record) { records.push_back(std::move(record)); }
  bool empty() const { return records.empty(); }

  // Does it all now, on this thread, calling `tick` now and then (what it throws stops the
  // work, and the rest stays recorded). Returns what could not be removed ("PATH: REASON").
  std::vector<std::string> runNow(const std::function<void()>& tick = {});

  // A process of its own doing it all in the background.
  struct Background {
    pid_t pid = -1;
    // Yields what could not be removed, a line "PATH: REASON" each, then its end once
    // the process is done. -1 when no process could be started: the records then stay
    // for a later run.
    int output = -1;
  };
  // Starts that process: it holds the records' locks until it is done, keeps nothing
  // else of this process open (a window, a pipe somebody waits on), and outlives it. This
  // process lets go of the records. Call it while this is the process's only thread.
  Background runInBackground();

 private:
  std::vector<HeldRecord> records;
};

#endif  // SFX_EXTRACT_HOUSEKEEPING_H_
