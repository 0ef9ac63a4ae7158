// The lock that makes installers of one user take turns. Each holds an exclusive flock on
// its own target directory only; which other locks stand near it is read from the kernel's
// table (/proc/locks). A lock counts only when its holder runs as the effective user: the
// holder's descriptor then shows which directory it locks (/proc/PID/fd), and walking up
// from there tells whether it lies inside this target. Anyone else's lock is not waited for.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "extraction_listener.h"
#include "path_error.h"
#include "target_directory.h"
#include "tree_removal.h"

namespace {

struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId& other) const {
    return device == other.device && inode == other.inode;
  }
};

bool idOf(int fd, FileId* id) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  *id = FileId{st.st_dev, st.st_ino};
  return true;
}

// The directories above `fd`'s, up to the root, reached through "..", one descriptor at a
// time. Stops early, harmlessly, at one it cannot open.
std::vector<FileId> idsAbove(int fd) {
  std::vector<FileId> ids;
  FileId at;
  int walk = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (walk < 0 || !idOf(walk, &at)) {
    if (walk >= 0) close(walk);
    return ids;
  }
  for (;;) {
    const int up = openat(walk, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    close(walk);
    FileId above;
    if (up < 0 || !idOf(up, &above) || above == at) {  // the root is its own parent
      if (up >= 0) close(up);
      return ids;
    }
    ids.push_back(above);
    at = above;
    walk = up;
  }
}

// Whether the directory open at `fd` lies below the directory `top`.
bool liesBelow(int fd, const FileId& top) {
  for (const FileId& id : idsAbove(fd))
    if (id == top) return true;
  return false;
}

// The processes that hold exclusive flock locks, as the kernel lists them. Shared ones
// are not an installer's (older versions took them on every directory above their own).
std::set<pid_t> flockHolders() {
  std::set<pid_t> holders;
  std::ifstream table("/proc/locks");
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string number, kind, advisory, mode;
    long pid = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:02:131073 0 EOF"; a waiter's line has "->" after
    // the number, and holds nothing.
    if (!(fields >> number >> kind >> advisory >> mode >> pid) || kind != "FLOCK" ||
        mode != "WRITE")
      continue;
    if (pid > 0) holders.insert(pid_t(pid));
  }
  return holders;
}

// Whether `pid` runs as the effective user; a process we cannot see is someone else's.
bool isOurs(pid_t pid) {
  struct stat st;
  return stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0 && st.st_uid == geteuid();
}

// Descriptors of `pid` that hold an exclusive flock lock, from its fdinfo.
std::vector<std::string> lockingDescriptors(pid_t pid) {
  std::vector<std::string> locking;
  const std::string info = "/proc/" + std::to_string(pid) + "/fdinfo";
  const int dir = open(info.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return locking;
  for (const std::string& fd : namesIn(dir)) {
    std::ifstream details(info + "/" + fd);
    for (std::string line; std::getline(details, line);) {
      if (line.compare(0, 5, "lock:") == 0 && line.find(" FLOCK ") != std::string::npos &&
          line.find(" WRITE ") != std::string::npos) {
        locking.push_back(fd);
        break;
      }
    }
  }
  close(dir);
  return locking;
}

// Whether an installer of the effective user holds a lock on `self` (the target), on a
// directory above it (`above`) or on one inside it; this process's `own` descriptor aside.
bool installerNear(const FileId& self, const std::vector<FileId>& above, int own) {
  for (pid_t pid : flockHolders()) {
    if (!isOurs(pid)) continue;
    for (const std::string& fd : lockingDescriptors(pid)) {
      if (pid == getpid() && fd == std::to_string(own)) continue;
      const std::string held = "/proc/" + std::to_string(pid) + "/fd/" + fd;
      const int dir = open(held.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      FileId id;
      if (dir < 0) continue;  // a file, or gone meanwhile
      bool near = idOf(dir, &id) && (id == self || liesBelow(dir, self));
      for (const FileId& up : above) near = near || id == up;
      close(dir);
      if (near) return true;
    }
  }
  return false;
}

// False when another process holds a lock on `fd`; a file system without locks counts as
// locked.
bool tryLock(int fd) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno != EWOULDBLOCK;
  }
  return true;
}

}  // namespace

TargetLock::~TargetLock() {
  if (fd >= 0) close(fd);
}

TargetLock TargetDirectory::lock(const std::function<void()>& waiting) const {
  TargetLock held;
  held.fd = openat(top.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (held.fd < 0) throw pathError(path(), errno);
  FileId self;
  if (!idOf(held.fd, &self)) throw pathError(path(), errno);
  const std::vector<FileId> above = idsAbove(held.fd);
  // Two installers that start together may each see the other's lock and step back: the
  // next turns come at random moments, so that one of them soon goes first. Every turn
  // lets the waiting window answer.
  std::minstd_rand random(unsigned(getpid()) ^ unsigned(std::chrono::steady_clock::now().time_since_epoch().count()));
  const long interval = long(std::chrono::microseconds(listener_pace::CALL_INTERVAL).count());
  for (;;) {
    // Taken first, looked around after: of two installers starting at once, the later
    // one to look sees the other's lock. Where another user holds this very directory,
    // the run goes on without a lock of its own.
    const bool taken = tryLock(held.fd);
    if (!installerNear(self, above, held.fd)) return held;
    if (taken) flock(held.fd, LOCK_UN);
    waiting();
    usleep(useconds_t(interval * 2 / 5 + long(random() % unsigned(interval * 3 / 5))));
  }
}
