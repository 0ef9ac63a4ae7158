// A run's record, kept beside the place it replaces: what the run makes there (its stage,
// the aside copy of the previous installation, the directories that hold its temporary
// files), held locked while the run lives. A later run removes only what a record names,
// and only once it can take the record's lock: a name that merely looks like ours is the
// user's, and what a live installer holds is never touched.
#ifndef SFX_EXTRACT_RUN_RECORD_H_
#define SFX_EXTRACT_RUN_RECORD_H_

#include <functional>
#include <string>
#include <vector>

#include "target_directory.h"

class RunRecord {
 public:
  // Creates a new record in `dir`, locked for as long as this object lives. Throws naming
  // the path at fault.
  explicit RunRecord(const Directory& dir);
  // Removes the record unless it is kept.
  ~RunRecord();
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;

  // This run's own token: every name the run makes carries it.
  const std::string& id() const { return token; }
  // Whether the file system of the record's directory folds case ("A" and "a" are one
  // name), as exFAT and vfat do.
  bool foldsCase() const { return folds; }

  // What the record says, one fact at a time; each is on disk when the call returns.
  void notePlace(const std::string& leaf) { append("place", leaf); }
  void noteStage(const std::string& name) { append("stage", name); }
  void noteAside(const std::string& name) { append("aside", name); }
  // The stage is complete and verified; the place is being replaced by it.
  void noteFinishing() { append("finishing", ""); }
  // Temporary files named `temporaryPrefix()`... may stand in the directory `components`
  // below the one `up` levels above the record's.
  void noteTemporaries(size_t up, const std::vector<std::string>& components);
  std::string temporaryPrefix() const { return ".sfx-part." + token + "."; }

  // Leaves the record on disk (or, with false, no longer): what it names could not all be
  // removed or put in place, and a later run tries again.
  void keep(bool keeping = true) { kept = keeping; }

 private:
  void append(const std::string& key, const std::string& value);

  const Directory& dir;
  std::string token, name;
  int fd = -1;
  bool folds = false;
  bool kept = false;
};

// Puts right what dead runs left in `dir`, before anything else happens there: a place
// found missing gets its aside copy back, a complete stage whose swap was under way is put
// in place, and everything else the records name goes. `tick` is called now and then
// (what it throws stops the work). Returns what could not be removed ("PATH: REASON").
std::vector<std::string> recoverDeadRuns(const Directory& dir,
                                         const std::function<void()>& tick = {});

#endif  // SFX_EXTRACT_RUN_RECORD_H_
