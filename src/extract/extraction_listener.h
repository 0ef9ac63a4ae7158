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

#include <chrono>
#include <cstdint>
#include <string>

// How often a window hears from the extraction, and so how often it can answer. The rule
// lives here; the extraction and the window keep it, and nothing else restates it.
//   The extraction calls some listener function at least every CALL_INTERVAL in every
//   phase (waiting for a lock, putting right what killed runs left, each entry, each chunk
//   of 1 MiB at most, removing the previous installation), so a listener that runs an
//   event pass once its last is ANSWER_INTERVAL old answers at every moment. Between
//   entries it passes at most every SCREEN_INTERVAL, the screen's rate, and always at the
//   first and the last: a pass for each of thousands of small entries would cost a third
//   of the run, for frames no screen shows.
namespace listener_pace {
constexpr std::chrono::milliseconds CALL_INTERVAL{25};
constexpr std::chrono::milliseconds ANSWER_INTERVAL{40};
constexpr std::chrono::milliseconds SCREEN_INTERVAL{16};
}  // namespace listener_pace

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
  // Called every CALL_INTERVAL, before any entry, while the extraction waits for another
  // installer in the same directory (or one inside or above it) to finish. What it throws
  // (Cancelled, say) ends the wait and the extraction.
  virtual void onWaiting() {}
  // Called well within CALL_INTERVAL during long steps that concern no entry: putting
  // right what killed runs left, removing the previous installation. What it throws stops
  // them.
  virtual void onPulse() {}
};

#endif  // SFX_EXTRACT_EXTRACTION_LISTENER_H_
