#include "autorun.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <system_error>

extern char** environ;

std::optional<std::string> autorunCommand(const std::string& comment) {
  const std::string marker = AUTORUN_MARKER;
  // Only a marker that opens the comment introduces a command: a marker further on would
  // make the text at byte 10 a command nobody wrote.
  if (!comment.starts_with(marker)) return std::nullopt;
  // The shell gets a C string, so a zero byte ends the command line.
  const std::string command = comment.substr(marker.size());
  return command.substr(0, command.find('\0'));
}

namespace {

// Sets SIGINT and SIGQUIT to be ignored, as system() does while its command runs, and puts
// them back when it goes.
class IgnoreInterrupts {
 public:
  IgnoreInterrupts() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &savedInt);
    sigaction(SIGQUIT, &ignore, &savedQuit);
  }
  ~IgnoreInterrupts() {
    sigaction(SIGINT, &savedInt, nullptr);
    sigaction(SIGQUIT, &savedQuit, nullptr);
  }

 private:
  struct sigaction savedInt {}, savedQuit {};
};

}  // namespace

std::string runThroughShell(const std::string& command) {
  const char* const shell = "/bin/sh";
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  // An ignored signal stays ignored across exec: the command starts as any program does.
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  IgnoreInterrupts interrupts;
  pid_t pid = 0;
  const int error =
      posix_spawn(&pid, shell, nullptr, &attributes, const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return std::string(shell) + ": " + std::generic_category().message(error);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return "";
}

void runAutorun(std::string comment, const std::function<void(const std::string&)>& cannotStart) {
  std::optional<std::string> command = autorunCommand(comment);
  if (!command) return;
  // The command's own status is not ours to report; a shell that cannot start is.
  const std::string failure = runThroughShell(*command);
  if (!failure.empty() && cannotStart) {
    cannotStart(failure);
    return;
  }
  // The main thread may be inside the toolkit's event loop: end without running exit-time
  // destructors under its feet, but keep what was written to our streams.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  _exit(0);
}
