// Long entries written into their files on the archive's helper threads while the
// extraction goes on placing the entries after them. Each file lands once its entry has
// ended, in the order they end; an entry at or below a name still on its way waits for it.
//
// Threads: one thread (the extracting one) makes every call; the helpers only write.
//
// Ownership: holds each entry's file and a descriptor of its directory until it lands;
// when destroyed it stops the helpers first, then removes the files that did not land.
#ifndef SFX_EXTRACT_ASIDE_FILES_H_
#define SFX_EXTRACT_ASIDE_FILES_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "entry_file.h"
#include "target_directory.h"
#include "zip_archive.h"

class AsideFiles {
 public:
  // At most this many on their way at once, each with its temporary file open.
  static const size_t MOST = 8;

  explicit AsideFiles(ZipArchive& archive) : archive(archive) {}
  ~AsideFiles() { archive.stopAside(); }
  AsideFiles(const AsideFiles&) = delete;
  AsideFiles& operator=(const AsideFiles&) = delete;

  // Starts `record` into `file`, made in `dir`, and then holds both. False, with both
  // untouched, when the archive has no helper for it.
  bool start(const ZipEntryInfo& record, Directory& dir, std::unique_ptr<EntryFile>& file);
  // Lands the entries that ended, waiting up to `timeout` for one; throws, naming the
  // entry, what one that failed threw.
  void land(std::chrono::milliseconds timeout);
  // Whether a file still on its way stands at `components` or above them. `foldsCase`:
  // the file system takes names that differ only in case for one.
  bool holds(const std::vector<std::string>& components, bool foldsCase) const;
  // The bytes of entry `index` written so far, while it is on its way.
  std::optional<uint64_t> written(uint64_t index);
  size_t size() const { return pending.size(); }

 private:
  struct Pending {
    std::string name;
    std::vector<std::string> components;
    Directory dir;  // outlives the file, which lands and is removed through it
    std::unique_ptr<EntryFile> file;
    ChunkWriter write;  // called on a helper thread
    WholeWriter whole;  // the same
  };
  ZipArchive& archive;
  std::map<uint64_t, Pending> pending;
};

#endif  // SFX_EXTRACT_ASIDE_FILES_H_
