// What the extraction tells about each entry as it goes.
//
// Threads: every call comes on the thread that runs the extraction (in the installer, the
// extraction worker, while the main thread is parked in the worker's join), one after
// another and synchronously: the extraction waits for each. A listener that drives a
// toolkit from there relies on that parking; it needs no lock of its own.
//
// Ownership: the Extractor shares each listener with whoever registered it and releases
// it when destroyed. A listener keeps nothing of what it is given but copies.
#ifndef SFX_EXTRACT_EXTRACTION_LISTENER_H_
#define SFX_EXTRACT_EXTRACTION_LISTENER_H_

#include <cstdint>
#include <string>

class ExtractionListener {
 public:
  virtual ~ExtractionListener() = default;
  // Called once per entry, directories included, before the entry is created or
  // written, with its absolute target path. `path` is valid only during the call.
  virtual void onEntry(const std::string& path) = 0;
  // Called while the entry last announced is written, after each chunk of at most 1 MiB,
  // and once more when it is complete: `done` of its `total` bytes are on their way to
  // disk (0 of 0 for an entry without bytes).
  virtual void onProgress(uint64_t done, uint64_t total) {
    (void)done;
    (void)total;
  }
  // Called about every 25 ms, before any entry, while the extraction waits for another
  // installer in the same directory (or one inside or above it) to finish. What it throws
  // (Cancelled, say) ends the wait and the extraction.
  virtual void onWaiting() {}
  // Called every few milliseconds during long steps that concern no entry: putting right
  // what killed runs left, removing the previous installation. What it throws stops them.
  virtual void onPulse() {}
};

#endif  // SFX_EXTRACT_EXTRACTION_LISTENER_H_
