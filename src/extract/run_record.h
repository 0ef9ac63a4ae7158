// A run's record, kept in the target directory: where the place it replaces stands, what the
// run makes beside it (its stage, the aside copy of the previous installation) and the
// directories where its temporary files may stand, every name downward from the record's
// own directory. It is held locked while the run lives. A later run acts on a record only
// when it can prove the record is ours (dead_runs.h); a name that merely looks like ours is
// the user's, and what a live installer holds is never touched.
#ifndef SFX_EXTRACT_RUN_RECORD_H_
#define SFX_EXTRACT_RUN_RECORD_H_

#include <string>
#include <vector>

#include "held_record.h"
#include "target_directory.h"

// What the record file holds, for both sides: the writer here and the reader in dead_runs.cpp.
namespace run_record_format {
extern const char PREFIX[];  // record names: PREFIX + token
extern const char MAGIC[];   // the first line
const size_t TOKEN_LENGTH = 16;
// Beyond these a record is not ours: no run of ours writes that much.
const size_t MAX_BYTES = size_t(4) << 20;
const size_t MAX_TEMPORARY_DIRECTORIES = 100000;
}  // namespace run_record_format

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
  // Whether it keeps the modes it is given (exFAT and vfat show the mount's instead).
  bool keepsModes() const { return modesKept; }
  // The record's own name in its directory.
  const std::string& fileName() const { return name; }

  // What the record says, one fact at a time; each is on disk when the call returns.
  // The place is `leaf` in the directory `holder` below the record's (components).
  void notePlace(const std::vector<std::string>& holder, const std::string& leaf);
  void noteStage(const std::string& name) { append("stage", name); }
  void noteAside(const std::string& name) { append("aside", name); }
  // The stage is complete and verified; the place is being replaced by it.
  void noteFinishing() { append("finishing", ""); }
  // Temporary files named `temporaryPrefix()`... may stand in the directory `components`
  // below the record's.
  void noteTemporaries(const std::vector<std::string>& components);
  // The directory `components` below the record's is being made by this run, to hold the
  // place: it goes again, once empty, when the place never comes.
  void noteMade(const std::vector<std::string>& components);
  std::string temporaryPrefix() const { return ".sfx-part." + token + "."; }

  // Leaves the record on disk (or, with false, no longer): what it names could not all be
  // removed or put in place, and a later run tries again.
  void keep(bool keeping = true) { kept = keeping; }
  // Hands the record, locked, to whoever removes what it names (housekeeping.h); it is
  // kept on disk from now on.
  HeldRecord handOver();

 private:
  void append(const std::string& key, const std::string& value);

  const Directory& dir;
  std::string token, name;
  int fd = -1;
  bool folds = false;
  bool modesKept = false;
  bool kept = false;
};

#endif  // SFX_EXTRACT_RUN_RECORD_H_
