// The place of an archive's first entry, which a new run replaces as a whole (the
// previous installation). The new tree is built under a temporary name beside it and
// swapped in once every entry has landed: until then the previous installation stays
// exactly as it was, and a failed or interrupted run leaves it so.
#ifndef SFX_EXTRACT_STAGED_PLACE_H_
#define SFX_EXTRACT_STAGED_PLACE_H_

#include <optional>
#include <string>
#include <vector>

#include "target_directory.h"

class StagedPlace {
 public:
  // Prepares the place of `components` (not empty) below `target`: creates its parent
  // directories, removes stages that killed runs left beside it, and reserves the stage,
  // a directory when `directory`, else an empty file. Throws naming the path at fault.
  StagedPlace(const TargetDirectory& target, const std::vector<std::string>& components,
              bool directory);
  // Removes the stage, and all built in it, unless it was committed.
  ~StagedPlace();
  StagedPlace(const StagedPlace&) = delete;
  StagedPlace& operator=(const StagedPlace&) = delete;

  // What lies below the place for an entry at or below it: {} for the place itself.
  std::optional<std::vector<std::string>> below(const std::vector<std::string>& components) const;
  bool isDirectory() const { return directory; }
  // The directory holding the place and the stage.
  const Directory& parent() const { return holder; }
  const std::string& stageName() const { return stage; }
  // The stage directory, shown under the place's final path so that everything opened
  // in it is too. Only for a directory place.
  const Directory& stageDirectory() const { return staged; }
  // The place's path, as the user will see it.
  const std::string& finalPath() const { return shown; }

  // Swaps the stage in for what stands at the place (atomically where the file system
  // can), then removes what stood there, never crossing into another mount.
  void commit();

 private:
  std::vector<std::string> place;
  bool directory;
  Directory holder, staged;
  std::string leaf, stage, shown;
  bool committed = false;
};

#endif  // SFX_EXTRACT_STAGED_PLACE_H_
