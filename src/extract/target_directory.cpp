#include "target_directory.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <memory>

#include "entry_name.h"
#include "path_error.h"

namespace {

// Beyond this many links in one walk, it counts as a loop (the kernel's own limit).
const int MAX_LINKS = 40;

// O_PATH: walking needs only search permission, not read permission, on each directory.
int openStep(int dir, const std::string& name) {
  return openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool isLink(int dir, const std::string& name) {
  struct stat st;
  return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

std::string canonical(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), free);
  if (!real) throw pathError(path, errno);
  return real.get();
}

Directory openDirectory(const std::string& path, const std::string& shown) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw pathError(path, errno);
  return Directory(fd, shown);
}

}  // namespace

Directory::Directory(Directory&& other) noexcept
    : descriptor(other.descriptor), shownPath(std::move(other.shownPath)) {
  other.descriptor = -1;
}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    if (descriptor >= 0) close(descriptor);
    descriptor = other.descriptor;
    shownPath = std::move(other.shownPath);
    other.descriptor = -1;
  }
  return *this;
}

Directory::~Directory() {
  if (descriptor >= 0) close(descriptor);
}

Directory Directory::duplicate() const {
  int fd = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) throw pathError(shownPath, errno);
  return Directory(fd, shownPath);
}

void Directory::setMode(unsigned mode) const {
  // The descriptor may be one that only walks (O_PATH); its /proc name reaches the very
  // directory it holds, not whatever stands at its path now.
  (void)chmod(descriptorPath(descriptor).c_str(), mode);
}

TargetDirectory::TargetDirectory(const std::string& path)
    : top(openDirectory(path, canonical(path))) {}

TargetDirectory TargetDirectory::here() {
  // getcwd with no buffer grows one as needed: a directory deeper than PATH_MAX works.
  std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), free);
  if (!cwd) throw std::runtime_error(std::string("current directory unknown: ") +
                                     std::generic_category().message(errno));
  return TargetDirectory(openDirectory(".", cwd.get()));
}

std::vector<std::string> TargetDirectory::followInside(const std::string& link) const {
  std::unique_ptr<char, decltype(&free)> real(realpath(link.c_str(), nullptr), free);
  if (!real) {
    // Writing through a dangling link would create whatever it names, wherever that is.
    if (errno == ENOENT) throw std::runtime_error(link + ": symbolic link leads nowhere");
    throw pathError(link, errno);
  }
  const std::string destination = real.get(), prefix = childPath(path(), "");
  if (destination != path() && destination.compare(0, prefix.size(), prefix) != 0)
    throw std::runtime_error(link + ": symbolic link leads outside " + path() + " to " +
                             destination);
  return destination == path() ? std::vector<std::string>{}
                               : nameComponents(destination.substr(prefix.size()));
}

std::optional<Directory> TargetDirectory::open(const Directory& from,
                                               const std::vector<std::string>& components,
                                               bool create, const Redirect& redirect) const {
  Directory current = from.duplicate();
  std::deque<std::string> pending(components.begin(), components.end());
  int links = 0;
  bool created = false;  // the step at the front was just made by us
  while (!pending.empty()) {
    const std::string& name = pending.front();
    const std::string path = childPath(current.path(), name);
    int fd = openStep(current.fd(), name);
    if (fd >= 0) {
      current = Directory(fd, path);
      pending.pop_front();
      created = false;
      continue;
    }
    const int error = errno;
    if (error == ENOENT && !created) {
      if (!create) return std::nullopt;
      if (mkdirat(current.fd(), name.c_str(), 0755) != 0 && errno != EEXIST)
        throw pathError(path, errno);
      created = true;
      continue;
    }
    if ((error == ENOTDIR || error == ELOOP) && isLink(current.fd(), name)) {
      if (++links > MAX_LINKS) throw pathError(path, ELOOP);
      std::vector<std::string> inside = followInside(path);
      pending.pop_front();
      inside.insert(inside.end(), pending.begin(), pending.end());
      WalkStart start{&top, std::move(inside)};
      if (redirect) start = redirect(start.components);
      current = start.from->duplicate();
      pending.assign(start.components.begin(), start.components.end());
      created = false;
      continue;
    }
    throw pathError(path, error);
  }
  return current;
}
