#include "target_directory.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace {

std::runtime_error pathError(const std::string& path, int error) {
  return std::runtime_error(path + ": " + std::generic_category().message(error));
}

// realpath, using its buffer only when it succeeded.
std::string canonical(const std::string& path) {
  char buffer[PATH_MAX + 1];
  if (realpath(path.c_str(), buffer) == nullptr) throw pathError(path, errno);
  return buffer;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string childPath(const std::string& directory, const std::string& component) {
  if (!directory.empty() && directory.back() == '/') return directory + component;
  return directory + "/" + component;
}

TargetDirectory::TargetDirectory(const std::string& path) : root(canonical(path)) {
  if (!isDirectory(root)) throw pathError(path, ENOTDIR);
}

std::string TargetDirectory::baseDirectory() const {
  return root.back() == '/' ? root : root + "/";
}

bool TargetDirectory::contains(const std::string& path) const {
  if (path == root) return true;
  std::string prefix = baseDirectory();
  return path.compare(0, prefix.size(), prefix) == 0;
}

std::string TargetDirectory::followInside(const std::string& link) const {
  char buffer[PATH_MAX + 1];
  if (realpath(link.c_str(), buffer) == nullptr) {
    // Writing through a dangling link would create whatever it names, wherever that is.
    if (errno == ENOENT) throw std::runtime_error(link + ": symbolic link leads nowhere");
    throw pathError(link, errno);
  }
  if (!contains(buffer))
    throw std::runtime_error(link + ": symbolic link leads outside " + root + " to " + buffer);
  return buffer;
}

std::optional<std::string> TargetDirectory::parentOf(const std::vector<std::string>& components,
                                                     bool create) const {
  std::string directory = root;
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    std::string next = childPath(directory, components[i]);
    struct stat st;
    if (lstat(next.c_str(), &st) != 0) {
      if (errno != ENOENT) throw pathError(next, errno);
      if (!create) return std::nullopt;
      // Everything below a missing directory is missing too: no link can lie in the way.
      if (mkdir(next.c_str(), 0755) != 0) throw pathError(next, errno);
      directory = next;
      continue;
    }
    const bool link = S_ISLNK(st.st_mode);
    directory = link ? followInside(next) : next;
    if (link ? !isDirectory(directory) : !S_ISDIR(st.st_mode)) throw pathError(next, ENOTDIR);
  }
  return directory;
}

std::optional<std::string> TargetDirectory::existingPlace(
    const std::vector<std::string>& components) const {
  if (components.empty()) return std::nullopt;
  std::optional<std::string> parent = parentOf(components, false);
  if (!parent) return std::nullopt;
  return childPath(*parent, components.back());
}

std::string TargetDirectory::prepare(const std::vector<std::string>& components) const {
  if (components.empty()) return root;
  std::string place = childPath(*parentOf(components, true), components.back());
  struct stat st;
  if (lstat(place.c_str(), &st) != 0) {
    if (errno != ENOENT) throw pathError(place, errno);
    return place;
  }
  return S_ISLNK(st.st_mode) ? followInside(place) : place;
}
