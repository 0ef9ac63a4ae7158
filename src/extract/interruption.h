// A signal's request that the extraction in progress stop: it stops at its next chunk or
// entry, removes what it had not completed and throws Interrupted.
#ifndef SFX_EXTRACT_INTERRUPTION_H_
#define SFX_EXTRACT_INTERRUPTION_H_

#include <stdexcept>

class Interrupted : public std::runtime_error {
 public:
  explicit Interrupted(int signal);
  int signal() const { return signalNumber; }

 private:
  int signalNumber;
};

// The user closed the window before the extraction ended: it stops as for a signal, and
// the run ends as the user asked, without a failure.
class Cancelled : public std::runtime_error {
 public:
  Cancelled() : std::runtime_error("cancelled") {}
};

// Async-signal-safe: a signal handler may call it.
void requestInterruption(int signal);
// The signal that asked the extraction to stop, or 0.
int interruptionRequested();
// Throws Interrupted when a signal asked for it.
void stopIfInterrupted();

#endif  // SFX_EXTRACT_INTERRUPTION_H_
