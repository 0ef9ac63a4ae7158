#include "interruption.h"

#include <atomic>
#include <string>

namespace {

std::atomic<int> pendingSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler stores it");

}  // namespace

Interrupted::Interrupted(int signal)
    : std::runtime_error("interrupted by signal " + std::to_string(signal)), signalNumber(signal) {}

void requestInterruption(int signal) { pendingSignal.store(signal); }

int interruptionRequested() { return pendingSignal.load(); }

void stopIfInterrupted() {
  if (int signal = pendingSignal.load()) throw Interrupted(signal);
}
