// What killed runs left in a target directory, put right by a later run: a place found
// missing gets its aside copy back, a complete stage whose swap was under way is put in
// place, and everything else the records name goes.
//
// A record is acted on only when it is provably ours: a regular file with no other link,
// owned by the effective user and open to nobody else (on a file system that keeps modes:
// on one that shows the mount's, such as exFAT, the mount decides who may write anything),
// named with a token, whose lock can be taken (a live run holds its own). Every name it gives is reached downward from the
// record's directory, one component at a time without following links, carries the run's
// token where the run made it, and is touched only when it is the effective user's. Anything
// else, another user's record or what it names included, is left exactly as it is.
#ifndef SFX_EXTRACT_DEAD_RUNS_H_
#define SFX_EXTRACT_DEAD_RUNS_H_

#include <functional>
#include <string>
#include <vector>

#include "run_record.h"
#include "target_directory.h"

// Puts right what dead runs left in the directory of `own`, this run's record, before
// anything else happens there. `tick` is called now and then (what it throws stops the
// work). Returns what could not be removed ("PATH: REASON").
std::vector<std::string> recoverDeadRuns(const Directory& dir, const RunRecord& own,
                                         const std::function<void()>& tick = {});

#endif  // SFX_EXTRACT_DEAD_RUNS_H_
