// Where the entries of one extraction land. Those at or below the first entry's place (the
// previous installation, replaced as a whole) go into its stage; the rest into the target,
// each missing parent made on the way. Directory modes wait for the end, deepest first, so
// that none locks out what goes below it. On construction this run's record is written in
// the target and what killed runs left there is put right (a place left missing is put
// back) or handed to the housekeeping.
//
// Threads: the extracting thread alone. Ownership: holds the run's record (locked) and the
// stage until finish() or abandon(); the Place it hands out points to a directory it owns,
// valid until the next placeOf().
#ifndef SFX_EXTRACT_TREE_H_
#define SFX_EXTRACT_TREE_H_

#include <sys/types.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "housekeeping.h"
#include "run_record.h"
#include "staged_place.h"
#include "target_directory.h"

// Where an entry lands: the directory that holds it, its name there, and its path as the
// user sees it.
struct Place {
  const Directory* dir;
  std::string name;
  std::string shown;
  bool standing;  // the stage or the target itself, which exist already
  bool unseen;    // inside the stage: a file may be made under its own name
};

class Tree {
 public:
  // The tree of an archive whose first entry is named `firstName`. Throws naming the path
  // at fault; `tick` is called while dead runs' places are put back.
  Tree(const TargetDirectory& target, const std::string& firstName, Housekeeping& housekeeping,
       const std::function<void()>& tick);
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  // Creates the entry's missing parent directories and tells where it lands. Throws when
  // it cannot land there (a file entry where the place is a directory, a path through the
  // previous installation under another spelling of its name).
  Place placeOf(const std::vector<std::string>& components, bool directory);

  // Creates the directory at `place` unless it stands there already (the stage, the
  // target, or one inside), and lets its recorded `mode` (0: none) wait for the end.
  void makeDirectory(const Place& place, const std::vector<std::string>& components, mode_t mode);

  // Directory modes, then the stage swapped in; `verify` checks what the user will see
  // before the previous installation goes (what it throws puts that back and passes on).
  // What the swap left under the record's names is the housekeeping's.
  void finish(const std::function<void()>& verify, const std::function<void()>& tick);

  // What a failed extraction still owes the directories that landed outside the stage;
  // then the stage, and the directories made only to hold it, are the housekeeping's.
  void abandon();

  // Every temporary file of this run starts with it.
  std::string temporaryPrefix() const { return record->temporaryPrefix(); }
  // Whether the target's file system folds case ("A" and "a" are one name).
  bool foldsCase() const { return record->foldsCase(); }
  // What could not be removed, here or by the runs before.
  const std::vector<std::string>& left() const { return leftovers; }

 private:
  struct PendingMode {
    std::vector<std::string> components;
    mode_t mode;
  };

  struct FileId {
    dev_t device;
    ino_t inode;
    bool operator==(const FileId& other) const {
      return device == other.device && inode == other.inode;
    }
  };

  std::optional<std::vector<std::string>> belowStage(
      const std::vector<std::string>& components) const;
  WalkStart start(const std::vector<std::string>& components) const;
  bool isInStage(const Directory& dir) const;
  void noteTemporaries(const Directory& dir);
  void refuseOldTree(const Directory& dir) const;
  void applyModes(bool includingStaged);

  const TargetDirectory& target;
  const std::vector<std::string> place;
  Housekeeping& housekeeping;
  Directory holder;
  std::vector<std::string> leftovers;
  std::optional<RunRecord> record;
  std::optional<FileId> oldTree;  // the previous installation, a directory
  std::optional<StagedPlace> staged;
  Redirect redirect;
  // The directory the last entry landed in: the next one is usually beside it.
  std::optional<Directory> cached;
  const Directory* cachedBase = nullptr;
  std::vector<std::string> cachedParents;
  bool cachedUnseen = false;
  std::set<std::string> noted;
  std::vector<PendingMode> modes;
};

#endif  // SFX_EXTRACT_TREE_H_
