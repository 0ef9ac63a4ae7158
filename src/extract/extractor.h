// Extracts every entry of the installer's archive under a target directory, safely:
// nothing is written outside the target, the target itself is never removed, every file
// lands whole or not at all, and the first entry's place (the previous installation) is
// replaced only by a complete new one.
//
// Threads: not safe for concurrent use. REQUIRES external synchronization: one thread at
// a time constructs, registers, extracts and reads the archive; listeners are called on
// the extracting thread. Long entries are written into their files by the archive's
// helper threads, while the entries after them are placed; everything else (placing,
// landing, listeners) stays on the extracting thread. Installers in other processes are
// kept apart by a lock on the target directory, held while an extraction runs.
//
// Ownership: the Extractor owns its ZipArchive, shares its listeners with whoever
// registered them, and releases them in registration order when destroyed.
#ifndef SFX_EXTRACT_EXTRACTOR_H_
#define SFX_EXTRACT_EXTRACTOR_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "extraction_listener.h"
#include "housekeeping.h"
#include "zip_archive.h"

class TargetDirectory;
class Tree;

class Extractor {
 public:
  // Loads the archive that ends the file at `archivePath`. A file that cannot be opened
  // or carries no archive leaves the archive empty; damaged archive data throws, naming
  // the file `shownName` (by default `archivePath`).
  explicit Extractor(const std::string& archivePath, const std::string& shownName = "");
  ~Extractor();

  void addListener(const std::shared_ptr<ExtractionListener>& listener);

  // Extracts every entry under `targetDirectory`, after any other installer running in
  // that directory, or in one inside or above it, has finished. Before the first entry's
  // place is given up, every entry is checked where the user will find it. Throws
  // std::runtime_error naming the entry or path on any failure; then every file that
  // landed stays, whole, and the first entry's place is as it was. Names with ".." are
  // refused before anything is touched; an entry whose place leads outside through a
  // symbolic link is refused before its listeners are told. A listener's own exception
  // passes unchanged, and so do Interrupted and Cancelled.
  void extractAll(const std::string& targetDirectory);
  // extractAll on the current working directory.
  void extractHere();

  // Leaves what the extraction need not wait for (what killed runs left, the previous
  // installation once replaced, a failed run's stage) for the caller to take with
  // takeHousekeeping after each extraction; without this, the extraction does it itself
  // before it returns.
  void deferHousekeeping() { deferred = true; }
  Housekeeping takeHousekeeping();

  ZipArchive& archive() { return zipArchive; }
  // Whether the file ended in an archive's end record, even one without entries.
  bool foundArchive() const { return archiveFound; }
  // What the last extraction could not put back or remove of a previous installation or
  // of what killed runs left ("PATH: REASON"); it changes nothing of the extraction's result.
  const std::vector<std::string>& leftovers() const { return left; }

 private:
  ZipEntries listEntries();
  void extractInto(const TargetDirectory& target);
  // What the tree could not remove, then the housekeeping's work unless it is deferred.
  void keepLeftovers(const Tree& tree, const std::function<void()>& tick);

  ZipArchive zipArchive;
  std::vector<std::shared_ptr<ExtractionListener>> listeners;
  std::string archiveFile;  // for error messages
  bool archiveFound = false;
  bool deferred = false;
  Housekeeping housekeeping;
  std::vector<std::string> left;
};

#endif  // SFX_EXTRACT_EXTRACTOR_H_
