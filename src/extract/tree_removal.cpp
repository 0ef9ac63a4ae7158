#include "tree_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "mount_id.h"
#include "path_error.h"

std::vector<std::string> namesIn(int dir) {
  std::vector<std::string> names;
  // A descriptor of its own, open for reading, for the listing to take.
  int own = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return names;
  DIR* listing = fdopendir(own);
  if (!listing) {
    close(own);
    return names;
  }
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(listing);
  return names;
}

namespace {

// Directories held open at once, the deepest ones; those above are reopened through "..".
const size_t OPEN_LEVELS = 8;
// A removal can take over 100 µs on a slow file system: 16 of them stay well within the
// listeners' CALL_INTERVAL (extraction_listener.h). The pulse decides by the clock whether
// to act, so asking often costs little.
const unsigned TICK_EVERY = 16;

// Whether what `fd` holds lies on the mount `parent`, its own mount going to `mount`. False
// with errno set when not (EBUSY) or when its mount cannot be told.
bool onMount(int fd, const MountOf& parent, MountOf* mount) {
  if (!mountOf(fd, mount)) return false;
  if (sameMount(*mount, parent)) return true;
  errno = EBUSY;
  return false;
}

// Opens the directory `name` in `dir` for listing and removing its content, making it
// readable, writable and searchable first when the user owns it, and gives its mount in
// `mount`. A directory on another mount than `parent`, or on one that cannot be told, is
// left untouched. Every step acts on the directory first opened, never on a link swapped
// in under its name.
int openForRemoval(int dir, const std::string& name, const MountOf& parent, MountOf* mount) {
  int pathFd = openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (pathFd < 0) return -1;
  int fd = -1;
  if (onMount(pathFd, parent, mount)) {
    const std::string self = descriptorPath(pathFd);
    struct stat st;
    const mode_t needed = S_IRWXU;
    if (fstat(pathFd, &st) == 0 && (st.st_mode & needed) != needed && st.st_uid == geteuid())
      chmod(self.c_str(), (st.st_mode & 07777) | needed);
    fd = open(self.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  const int error = errno;
  close(pathFd);
  errno = error;
  return fd;
}

// One directory on the way down: its name in the one above, its identity (to check the
// way back up), and the names in it still to visit.
struct Level {
  std::string name;
  dev_t device = 0;
  ino_t inode = 0;
  MountOf mount;
  int fd = -1;
  std::vector<std::string> names;
  size_t next = 0;
  bool whole = true;
};

class Removal {
 public:
  Removal(int top, const std::string& shownPath, const std::function<void()>& tick, bool ownOnly)
      : top(top), shown(shownPath), tick(tick), ownOnly(ownOnly) {}
  ~Removal() {
    for (Level& level : levels)
      if (level.fd >= 0) close(level.fd);
  }

  std::string run(const std::string& name) {
    struct stat st;
    if (fstatat(top, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? "" : pathError(shown, errno).what();
    if (ownOnly && !owned(st)) return pathError(shown, EPERM).what();
    if (!S_ISDIR(st.st_mode)) {
      if (unlinkat(top, name.c_str(), 0) != 0 && errno != ENOENT)
        return pathError(shown, errno).what();
      return "";
    }
    MountOf topMount;
    if (!mountOf(top, &topMount)) return pathError(shown, errno).what();
    if (!enter(top, topMount, name)) return left;
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.next < level.names.size())
        visit(level, level.names[level.next++]);
      else
        leave();
    }
    return left;
  }

 private:
  // The path of `name` in the deepest level, as the user sees it.
  std::string pathOf(const std::string& name) const {
    std::string path = shown;
    for (size_t i = 1; i < levels.size(); ++i) path = childPath(path, levels[i].name);
    return levels.empty() ? path : childPath(path, name);
  }

  void note(const std::string& name, int error) {
    if (!levels.empty()) levels.back().whole = false;
    if (left.empty()) left = pathError(levels.empty() ? shown : pathOf(name), error).what();
  }

  void counted() {
    if (++removed % TICK_EVERY == 0 && tick) tick();
  }

  // Opens the directory `name` in `parent` and lists it, as the new deepest level.
  bool enter(int parent, const MountOf& parentMount, const std::string& name) {
    Level level;
    level.name = name;
    // Another file system stays, with all it holds.
    level.fd = openForRemoval(parent, name, parentMount, &level.mount);
    struct stat st;
    if (level.fd < 0 || fstat(level.fd, &st) != 0) {
      note(name, errno);
      if (level.fd >= 0) close(level.fd);
      return false;
    }
    // What was opened is checked, not what stood at the name a moment before.
    if (levels.empty() && ownOnly && !owned(st)) {
      close(level.fd);
      note(name, EPERM);
      return false;
    }
    level.device = st.st_dev;
    level.inode = st.st_ino;
    level.names = namesIn(level.fd);
    levels.push_back(std::move(level));
    if (levels.size() > OPEN_LEVELS) {
      Level& far = levels[levels.size() - 1 - OPEN_LEVELS];
      close(far.fd);
      far.fd = -1;
    }
    return true;
  }

  void visit(Level& level, const std::string& name) {
    struct stat st;
    if (fstatat(level.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) note(name, errno);
      return;
    }
    if (S_ISDIR(st.st_mode)) {
      const MountOf mount = level.mount;
      enter(level.fd, mount, name);  // `level` may move here
      return;
    }
    if (unlinkat(level.fd, name.c_str(), 0) != 0 && errno != ENOENT) note(name, errno);
    counted();
  }

  // The deepest level is done: it goes from the one above, which is reopened through ".."
  // if it was closed, and checked to be the directory it was.
  void leave() {
    Level done = std::move(levels.back());
    levels.pop_back();
    int parent = top;
    if (!levels.empty()) {
      Level& above = levels.back();
      if (above.fd < 0) above.fd = reopenAbove(done.fd, above);
      parent = above.fd;
    }
    close(done.fd);
    if (parent < 0) {
      // Moved meanwhile: stop here rather than remove what stands somewhere else.
      for (Level& level : levels) level.next = level.names.size(), level.whole = false;
      if (left.empty()) left = pathError(pathOf(done.name), ESTALE).what();
      return;
    }
    if (!done.whole) {
      if (!levels.empty()) levels.back().whole = false;
      return;
    }
    if (unlinkat(parent, done.name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
      note(done.name, errno);
    counted();
  }

  static int reopenAbove(int below, const Level& above) {
    int fd = openat(below, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == above.device && st.st_ino == above.inode)
      return fd;
    if (fd >= 0) close(fd);
    return -1;
  }

  // The effective user's, and no other name for it where it is a file.
  static bool owned(const struct stat& st) {
    return st.st_uid == geteuid() && (S_ISDIR(st.st_mode) || st.st_nlink == 1);
  }

  const int top;
  const std::string shown;
  const std::function<void()>& tick;
  const bool ownOnly;
  std::vector<Level> levels;
  unsigned long removed = 0;
  std::string left;
};

}  // namespace

std::string removeTree(int dir, const std::string& name, const std::string& shownPath,
                       const std::function<void()>& tick) {
  return Removal(dir, shownPath, tick, false).run(name);
}

std::string removeOwnTree(int dir, const std::string& name, const std::string& shownPath,
                          const std::function<void()>& tick) {
  return Removal(dir, shownPath, tick, true).run(name);
}
