#include "autorun.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

std::optional<std::string> autorunCommand(const std::string& comment) {
  const std::string marker = AUTORUN_MARKER;
  // Only a marker that opens the comment introduces a command: a marker further on would
  // make the text at byte 10 a command nobody wrote.
  if (!comment.starts_with(marker)) return std::nullopt;
  // The shell gets a C string, so a zero byte ends the command line.
  const std::string command = comment.substr(marker.size());
  return command.substr(0, command.find('\0'));
}

void runAutorun(std::string comment) {
  std::optional<std::string> command = autorunCommand(comment);
  if (!command) return;
  // The command expects what every program starts with: a pipe closed under it ends it.
  std::signal(SIGPIPE, SIG_DFL);
  // The command's own status, and a shell that cannot start, are not ours to report.
  int ignored = std::system(command->c_str());
  (void)ignored;
  // The main thread may be inside the toolkit's event loop: end without running exit-time
  // destructors under its feet, but keep what was written to our streams.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  _exit(0);
}
