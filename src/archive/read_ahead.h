// The archive's entries inflated in order on helper threads, a few MiB ahead of the
// thread that takes their bytes: inflating, and the kernel's work of making and filling
// the files, then take a core each for thousands of small entries. Long entries are passed
// over (they go to LongEntries, each straight into its file). The bytes are handed over in
// the helpers' rooms.
//
// Threads: two helpers of its own; next() and done() are called by one other thread.
// While the helpers run, the reader's state is only read (lookups may go on).
#ifndef SFX_ARCHIVE_READ_AHEAD_H_
#define SFX_ARCHIVE_READ_AHEAD_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "miniz_zip.h"

class ReadAhead {
 public:
  // Part of an entry's bytes, or (last) the entry's end with its outcome.
  struct Piece {
    uint64_t entry = 0;
    const char* data = nullptr;
    size_t size = 0;
    bool last = false;
    mz_zip_error error = MZ_ZIP_NO_ERROR;  // why the entry failed (its size, CRC-32, ...)
    bool changed = false;                  // the mapped file no longer backs its bytes
    int chunk = -1;
  };

  // Starts inflating at entry `first` of the archive held in [held, held + heldSize).
  // Reads of [guardBegin, guardBegin + guardSize), the mapped file (or nothing), that fail
  // end that entry with `changed`. Entries `passed` over (extracted elsewhere; it is
  // asked on the helpers, with their compressed and uncompressed sizes) end at once,
  // without bytes. Throws std::system_error when no thread can be started, std::bad_alloc
  // without memory.
  ReadAhead(const char* held, size_t heldSize, uint64_t first, const char* guardBegin,
            size_t guardSize, std::function<bool(uint64_t, uint64_t)> passed);
  // Stops the helpers wherever they are.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The entry whose pieces come next.
  uint64_t nextEntry() const { return expected; }
  // The oldest piece of that entry, waited for. Its bytes stay valid until done().
  Piece next();
  // That piece is taken: its room may be filled again.
  void done();

  class Lane;

 private:
  // Two helpers, each with its own entries (every other one), reader and rooms: while the
  // bytes of one entry are taken, the next one is inflated whole.
  std::function<bool(uint64_t, uint64_t)> passed;  // read by the lanes
  std::unique_ptr<Lane> lanes[2];
  uint64_t first;
  uint64_t expected;
};

#endif  // SFX_ARCHIVE_READ_AHEAD_H_
