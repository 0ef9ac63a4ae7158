// The entries of one extraction placed one by one, in archive order: each directory made,
// each file written under its place and landed whole, long files started on the archive's
// helpers and landed as they end. An entry at or below a name still on its way waits for
// it, and the last entry's end (the end the window shows) comes after every long one.
// Listeners hear of each entry as it is placed, then of its progress.
//
// Threads: the extracting thread alone (the archive's helpers only write into files).
// Ownership: holds the long entries on their way until they land, or until it is
// destroyed, which stops them and removes their files.
#ifndef SFX_EXTRACT_ENTRY_PLACER_H_
#define SFX_EXTRACT_ENTRY_PLACER_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "aside_files.h"
#include "extraction_listener.h"
#include "tree.h"
#include "zip_archive.h"

class EntryPlacer {
 public:
  // `mask`: the process's umask, for files whose entry records no mode. `tick` is called
  // while it waits, when no entry has progress to tell.
  EntryPlacer(ZipArchive& archive, Tree& tree, mode_t mask,
              const std::vector<std::shared_ptr<ExtractionListener>>& listeners,
              const std::function<void()>& tick);

  // Places `record`, the archive's last entry when `last`. Throws naming the entry or path.
  void place(const ZipEntryInfo& record, bool last);
  // Waits for the long entries still on their way, and lands them.
  void finish();

 private:
  void placeFile(const ZipEntryInfo& record, const Place& place, mode_t recorded, bool isLong);
  // Waits while `blocked` says so, landing long entries as they end; the listeners hear
  // how the entry last announced comes on, or a pulse when that one is complete.
  void waitWhile(const std::function<bool()>& blocked);
  void notify(const std::string& path);
  void progress(uint64_t done, uint64_t total);

  ZipArchive& archive;
  Tree& tree;
  const mode_t mask;
  const std::vector<std::shared_ptr<ExtractionListener>>& listeners;
  const std::function<void()>& tick;
  AsideFiles aside;
  // The entry last announced, and whether it went aside.
  struct Shown {
    uint64_t index, size;
  };
  std::optional<Shown> shown;
  bool shownAside = false;
};

#endif  // SFX_EXTRACT_ENTRY_PLACER_H_
