// Records this process holds locked, and so may act on: what a dead run left, or this run's
// own once it is done with what the record names. Acting on one puts right what it says:
// a place found missing gets its aside copy back, a complete stage whose swap was under way
// is put in place, and everything else it names goes.
//
// A dead run's record is taken only when it is provably ours: a regular file with no other
// link, owned by the effective user and open to nobody else (on a file system that keeps
// modes: on one that shows the mount's, such as exFAT, the mount decides who may write
// anything), named with a token, whose lock can be taken (a live run holds its own). Every
// name it gives is reached downward from the record's directory, one component at a time
// without following links, carries the run's token where the run made it, and is touched
// only when it is the effective user's. Anything else, another user's record or what it
// names included, is left exactly as it is.
#ifndef SFX_EXTRACT_HELD_RECORD_H_
#define SFX_EXTRACT_HELD_RECORD_H_

#include <functional>
#include <string>
#include <vector>

#include "target_directory.h"

class RunRecord;

class HeldRecord {
 public:
  // Holds the record `name` in `dir`, open (and locked) as `fd`. `ownTrees`: its stage and
  // aside are this very run's doing, and go whoever owns them (a previous installation
  // that root replaced, say).
  HeldRecord(Directory dir, std::string name, int fd, bool ownTrees);
  HeldRecord(HeldRecord&& other) noexcept;
  HeldRecord& operator=(HeldRecord&& other) noexcept;
  // Lets go of the record; its lock goes with the last descriptor of it.
  ~HeldRecord();

  // Puts back the place the run left missing (its aside copy), or finishes a replacement
  // it had under way. What cannot be done is told in `left` ("PATH: REASON").
  void putBack(const std::function<void()>& tick, std::vector<std::string>* left);
  // Removes the rest of what the record names: its stage, its aside copy, its temporary
  // files, the directories it made that stayed empty. When nothing is left, the record
  // goes too and true is returned; else it stays for a later run. `tick` is called now and
  // then (what it throws stops the work).
  bool clearAway(const std::function<void()>& tick, std::vector<std::string>* left);

  // The descriptors this holds: the record's and its directory's (-1 for none).
  std::vector<int> descriptors() const { return {fd, dir.fd()}; }

 private:
  Directory dir;
  std::string name;
  int fd = -1;
  bool ownTrees = false;
};

// Takes the dead runs' records in `dir` that are provably ours, locked; at most a few
// dozen in one run. This run's own, `own`, is left out.
std::vector<HeldRecord> takeDeadRecords(const Directory& dir, const RunRecord& own);

#endif  // SFX_EXTRACT_HELD_RECORD_H_
