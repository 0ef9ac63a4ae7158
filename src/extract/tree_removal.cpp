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

// Opens the directory `name` in `dir` for listing and removing its content, making it
// readable, writable and searchable first when the user owns it. Every step acts on the
// directory first opened, never on a link swapped in under its name.
int openForRemoval(int dir, const std::string& name) {
  int pathFd = openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (pathFd < 0) return -1;
  const std::string self = descriptorPath(pathFd);
  struct stat st;
  const mode_t needed = S_IRWXU;
  if (fstat(pathFd, &st) == 0 && (st.st_mode & needed) != needed && st.st_uid == geteuid())
    chmod(self.c_str(), (st.st_mode & 07777) | needed);
  int fd = open(self.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  close(pathFd);
  return fd;
}

bool removeBelow(int dir, const MountOf& dirMount, const std::string& name) {
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;

  MountOf mount;
  if (!mountOf(dir, name.c_str(), &mount) || !sameMount(mount, dirMount)) return false;
  int fd = openForRemoval(dir, name);
  if (fd < 0) return false;
  bool whole = true;
  for (const std::string& child : namesIn(fd)) whole = removeBelow(fd, mount, child) && whole;
  close(fd);
  return whole && unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace

void removeTree(int dir, const std::string& name) {
  MountOf dirMount;
  if (mountOf(dir, "", &dirMount)) removeBelow(dir, dirMount, name);
}
