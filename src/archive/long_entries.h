// Long entries extracted on helper threads, each straight to its own writer: the caller
// goes on with the entries that follow while they are inflated and written, so two long
// entries keep both cores busy, where bytes handed over in order could run only as far
// ahead as a few MiB of memory allow.
//
// Threads: two helpers of their own, which call the writers; every other call comes from
// one thread. While the helpers run, the bytes held are only read.
#ifndef SFX_ARCHIVE_LONG_ENTRIES_H_
#define SFX_ARCHIVE_LONG_ENTRIES_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "mapped_file.h"
#include "miniz_zip.h"
#include "zip_archive.h"

class LongEntries {
 public:
  using Writer = std::function<void(const char* data, size_t size)>;

  // How an entry ended.
  struct Outcome {
    uint64_t entry = 0;
    mz_zip_error error = MZ_ZIP_NO_ERROR;  // why the reader failed (size, CRC-32, ...)
    bool changed = false;                  // the mapped file no longer backs its bytes
    std::exception_ptr failure;            // what the writer threw
    uint64_t taken = 0;                    // bytes the writer took
  };

  // Over the archive held in [held, held + heldSize); reads of `mapping` (or of nothing,
  // when it maps nothing) that fail end an entry with `changed`, and its pages are given
  // back behind the extraction. Throws std::system_error when no thread can be started,
  // std::bad_alloc without memory.
  LongEntries(const char* held, size_t heldSize, MappedFile& mapping);
  // Stops the helpers wherever they are; no writer is called afterwards.
  ~LongEntries();
  LongEntries(const LongEntries&) = delete;
  LongEntries& operator=(const LongEntries&) = delete;

  // Queues entry `entry`, whose data lies in [begin, end) of the bytes held and comes to
  // `size` bytes, for `write`, which must stay valid until the entry's outcome is taken
  // or the helpers are stopped.
  void start(uint64_t entry, const Writer* write, const WholeWriter* whole, uint64_t begin,
             uint64_t end, uint64_t size);
  // The outcomes of the entries that ended since the last call, waiting up to `timeout`
  // for one when none has.
  std::vector<Outcome> ended(std::chrono::milliseconds timeout);
  // The bytes of `entry` written so far.
  uint64_t written(uint64_t entry);

 private:
  struct Job {
    uint64_t entry;
    const Writer* write;
    const WholeWriter* whole;  // or null
    uint64_t begin, end;
    uint64_t size;
  };
  class Helper;

  void stop();
  void run(Helper& helper);
  // Inflates the helper's entry into its whole writer's bytes in one call; false, with
  // nothing of it written, where that cannot be done. True also when the whole writer
  // failed (the helper's failure).
  bool extractWhole(Helper& helper, Outcome& outcome);
  static size_t deliver(void* self, mz_uint64 offset, const void* data, size_t n);

  const char* held;
  size_t heldSize;
  MappedFile& mapping;

  std::mutex mutex;
  std::condition_variable queued, finished;
  std::deque<Job> jobs;
  std::map<uint64_t, uint64_t> progress;  // written so far, by entry, while it runs
  std::vector<Outcome> outcomes;
  bool cancelled = false;
  std::vector<std::thread> helpers;
};

#endif  // SFX_ARCHIVE_LONG_ENTRIES_H_
