#include "bus_guard.h"

#include <setjmp.h>
#include <signal.h>

#include <cstdint>
#include <mutex>

namespace {

struct Guard {
  sigjmp_buf jump;
  uintptr_t begin;
  uintptr_t end;
  Guard* outer;
};

// Plain data only: the handler reads them on the faulting thread.
thread_local Guard* current = nullptr;
thread_local bool active = false;

struct sigaction previous;

void onBus(int signal, siginfo_t* info, void* context) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  // The innermost guard of that address: an inner guard may watch another mapping (the
  // file being written) while an outer one watches the archive.
  for (Guard* guard = current; active && guard; guard = guard->outer)
    if (at >= guard->begin && at < guard->end) siglongjmp(guard->jump, 1);
  // Not a read we guard: hand the signal on as if we had never caught it. A fault comes
  // back when the instruction runs again; a signal sent by someone is passed on here.
  sigaction(SIGBUS, &previous, nullptr);
  if (info->si_code <= 0) raise(signal);
  (void)context;
}

void installHandler() {
  struct sigaction action {};
  action.sa_sigaction = onBus;
  // Not blocked while handled: the jump leaves the handler, and the mask needs no restoring.
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &previous);
}

}  // namespace

bool runGuarded(const void* begin, size_t size, void (*body)(void*), void* context) {
  static std::once_flag installed;
  std::call_once(installed, installHandler);
  Guard guard;
  guard.begin = reinterpret_cast<uintptr_t>(begin);
  guard.end = guard.begin + size;
  guard.outer = current;
  const bool wasActive = active;
  if (sigsetjmp(guard.jump, 0) != 0) {
    current = guard.outer;
    active = wasActive;
    return false;
  }
  current = &guard;
  active = true;
  body(context);
  current = guard.outer;
  active = wasActive;
  return true;
}

GuardPause::GuardPause() : wasActive(active) { active = false; }

GuardPause::~GuardPause() { active = wasActive; }
