#include "housekeeping.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace {

// Closes every descriptor but `keep`, and puts /dev/null on the standard ones.
void closeAllBut(const std::vector<int>& keep) {
  std::vector<int> open;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(fds)) {
      if (entry->d_name[0] != '.') open.push_back(std::atoi(entry->d_name));
    }
    closedir(fds);
  } else {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    for (rlim_t fd = 0; fd < limit.rlim_cur && fd < 65536; ++fd) open.push_back(int(fd));
  }
  for (int fd : open)
    if (std::find(keep.begin(), keep.end(), fd) == keep.end()) close(fd);
  const int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd)
    if (fd != null) dup2(null, fd);
  if (null > 2) close(null);
}

void writeLine(int fd, const std::string& text) {
  const std::string line = text + "\n";
  const char* data = line.data();
  size_t size = line.size();
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= size_t(n);
  }
}

}  // namespace

std::vector<std::string> Housekeeping::runNow(const std::function<void()>& tick) {
  std::vector<std::string> left;
  std::vector<HeldRecord> work = std::move(records);
  records.clear();
  for (HeldRecord& record : work) record.clearAway(tick, &left);
  return left;
}

Housekeeping::Background Housekeeping::runInBackground() {
  Background started;
  if (records.empty()) return started;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    records.clear();
    return started;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    // Its own session: a terminal's interrupt meant for the installer does not reach it.
    setsid();
    std::vector<int> keep = {ends[1]};
    for (const HeldRecord& record : records)
      for (int fd : record.descriptors()) keep.push_back(fd);
    closeAllBut(keep);
    for (int stop : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) std::signal(stop, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN);  // a reader gone is no reason to stop removing
    // The command the user waits for comes first.
    (void)setpriority(PRIO_PROCESS, 0, 10);
    for (const std::string& left : runNow()) writeLine(ends[1], left);
    _exit(0);
  }
  close(ends[1]);
  // The process holds the locks now (or, without one, nobody: a later run takes over).
  records.clear();
  if (pid < 0) {
    close(ends[0]);
    return started;
  }
  started.pid = pid;
  started.output = ends[0];
  return started;
}
