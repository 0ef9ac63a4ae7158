// The place of an archive's first entry, which a new run replaces as a whole (the
// previous installation). The new tree is built under a temporary name beside it and
// swapped in once every entry has landed: until then the previous installation stays
// exactly as it was, and a failed or interrupted run leaves it so. Every step of the swap
// leaves, if the process is killed, the previous installation, the new one, or a copy
// that the run record lets the next run put back. What the swap leaves under the record's
// names (the previous installation, or a failed stage) is removed by whoever holds the
// record afterwards (housekeeping.h), never here.
#ifndef SFX_EXTRACT_STAGED_PLACE_H_
#define SFX_EXTRACT_STAGED_PLACE_H_

#include <functional>
#include <string>

#include "run_record.h"
#include "target_directory.h"

class StagedPlace {
 public:
  // Reserves the stage of the place `leaf` in `holder`: a directory when `directory`, else
  // an empty file, named in `record` (which names the place already) before it is made.
  // Throws naming the path at fault.
  StagedPlace(const Directory& holder, const std::string& leaf, bool directory, RunRecord& record);
  ~StagedPlace();
  StagedPlace(const StagedPlace&) = delete;
  StagedPlace& operator=(const StagedPlace&) = delete;

  bool isDirectory() const { return directory; }
  // The directory holding the place and the stage.
  const Directory& parent() const { return holder; }
  const std::string& stageName() const { return stage; }
  // The stage directory, shown under the place's final path so that everything opened
  // in it is too. Only for a directory place.
  const Directory& stageDirectory() const { return staged; }
  // The place's path, as the user will see it.
  const std::string& finalPath() const { return shown; }

  // Puts the stage in the place (swapping, where the file system can, with what stands
  // there, or stepping it aside under the record's name), then calls `verify`: what it
  // throws puts the previous installation back and passes on. Where neither is possible
  // the previous installation is removed first, calling `tick` now and then.
  void commit(const std::function<void()>& verify, const std::function<void()>& tick);
  // Whether anything stands under the stage's or the aside's name (after a commit, the
  // previous installation).
  bool leftBehind() const;

 private:
  // Calls `verify` with the stage in place; on failure runs `undo` and rethrows.
  void settle(const std::function<void()>& verify, const std::function<void()>& undo);
  // Where neither exchange nor a rename aside is possible (an overlay's lower layer): the
  // previous installation is removed in place and the complete stage renamed in.
  void replaceInPlace(const std::function<void()>& verify, const std::function<void()>& tick);

  const Directory& holder;
  RunRecord& record;
  bool directory;
  Directory staged;
  std::string leaf, stage, aside, shown;
};

#endif  // SFX_EXTRACT_STAGED_PLACE_H_
