#include "staged_place.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "path_error.h"
#include "tree_removal.h"

namespace {

// Every stage of the place `leaf` starts so; a unique suffix of up to 24 bytes follows.
std::string stagePrefix(const std::string& leaf) {
  return prefixedName(".sfx-stage.", leaf, 25) + ".";
}

std::string uniqueSuffix(unsigned attempt) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char text[32];
  std::snprintf(text, sizeof text, "%x%lx%x", unsigned(getpid()), long(now.tv_nsec), attempt);
  return text;
}

// Removes what killed runs left: every name in `dir` that starts with `prefix`.
void removeStale(const Directory& dir, const std::string& prefix) {
  for (const std::string& name : namesIn(dir.fd()))
    if (name.compare(0, prefix.size(), prefix) == 0) removeTree(dir.fd(), name);
}

}  // namespace

StagedPlace::StagedPlace(const TargetDirectory& target, const std::vector<std::string>& components,
                         bool directory)
    : place(components), directory(directory), leaf(components.back()) {
  const std::vector<std::string> parents(components.begin(), components.end() - 1);
  holder = *target.open(target.root(), parents, true);
  shown = childPath(holder.path(), leaf);
  const std::string prefix = stagePrefix(leaf);
  removeStale(holder, prefix);
  for (unsigned attempt = 0;; ++attempt) {
    stage = prefix + uniqueSuffix(attempt);
    const int made = directory ? mkdirat(holder.fd(), stage.c_str(), 0755)
                               : openat(holder.fd(), stage.c_str(),
                                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made >= 0) {
      if (!directory) close(made);
      break;
    }
    if (errno != EEXIST || attempt == 100) throw pathError(childPath(holder.path(), stage), errno);
  }
  if (directory) {
    int fd = openat(holder.fd(), stage.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw pathError(childPath(holder.path(), stage), errno);
    staged = Directory(fd, shown);
  }
}

StagedPlace::~StagedPlace() {
  if (!committed) removeTree(holder.fd(), stage);
}

std::optional<std::vector<std::string>> StagedPlace::below(
    const std::vector<std::string>& components) const {
  if (components.size() < place.size() ||
      !std::equal(place.begin(), place.end(), components.begin()))
    return std::nullopt;
  return std::vector<std::string>(components.begin() + place.size(), components.end());
}

void StagedPlace::commit() {
  const int dir = holder.fd();
  if (renameat2(dir, stage.c_str(), dir, leaf.c_str(), RENAME_NOREPLACE) == 0) {
    committed = true;
    return;
  }
  if (errno == EEXIST && renameat2(dir, stage.c_str(), dir, leaf.c_str(), RENAME_EXCHANGE) == 0) {
    committed = true;
    // The stage's name now holds the previous installation.
    removeTree(dir, stage);
    return;
  }
  if (errno != EINVAL && errno != ENOSYS) throw pathError(shown, errno);
  // A file system that cannot exchange: the previous installation steps aside under a
  // stage name first, and goes only once the new one stands in its place.
  const std::string old = stagePrefix(leaf) + "old." + uniqueSuffix(0);
  const bool moved = renameat(dir, leaf.c_str(), dir, old.c_str()) == 0;
  if (!moved && errno != ENOENT) throw pathError(shown, errno);
  if (renameat(dir, stage.c_str(), dir, leaf.c_str()) != 0) {
    const int error = errno;
    if (moved) renameat(dir, old.c_str(), dir, leaf.c_str());
    throw pathError(shown, error);
  }
  committed = true;
  if (moved) removeTree(dir, old);
}
