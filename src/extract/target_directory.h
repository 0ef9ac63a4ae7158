// The directory an archive is extracted into, and the directories inside it, reached
// through descriptors: every step opens one name relative to an open directory without
// following a symbolic link, so a link swapped in between a check and a write cannot
// redirect it, and no path longer than PATH_MAX is ever handed to the kernel.
//
// Failures throw std::runtime_error naming the path at fault.
#ifndef SFX_EXTRACT_TARGET_DIRECTORY_H_
#define SFX_EXTRACT_TARGET_DIRECTORY_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

// An open directory descriptor, closed with the object, and the absolute path that names
// the directory to the user. The descriptor may be one that only walks (O_PATH: opened
// with search permission alone): good for the *at() calls relative to it, fstat and a
// chmod through its /proc name (setMode), not for reading its entries, fchmod or fsync.
class Directory {
 public:
  Directory() = default;
  Directory(int fd, std::string path) : descriptor(fd), shownPath(std::move(path)) {}
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;
  ~Directory();

  int fd() const { return descriptor; }
  const std::string& path() const { return shownPath; }
  // Another descriptor for the same directory.
  Directory duplicate() const;
  // Sets the directory's mode bits; a mode the file system refuses leaves it as it is.
  void setMode(unsigned mode) const;

 private:
  int descriptor = -1;
  std::string shownPath;
};

// The lock on a target directory (target_lock.cpp), released when this goes.
class TargetLock {
 public:
  TargetLock() = default;
  TargetLock(TargetLock&& other) noexcept : fd(other.fd) { other.fd = -1; }
  TargetLock& operator=(TargetLock&&) = delete;
  ~TargetLock();

 private:
  friend class TargetDirectory;
  int fd = -1;
};

// Where a walk below the target goes on after a symbolic link: the directory to start from
// (the target, or one that stands for part of it) and the components left below it.
struct WalkStart {
  const Directory* from;
  std::vector<std::string> components;
};
using Redirect = std::function<WalkStart(const std::vector<std::string>& belowTarget)>;

class TargetDirectory {
 public:
  // Opens the directory at `path` (relative paths against the working directory), shown
  // in canonical form. Throws when it cannot be opened or is not a directory.
  explicit TargetDirectory(const std::string& path);
  // The current working directory, however deep.
  static TargetDirectory here();

  const Directory& root() const { return top; }
  const std::string& path() const { return top.path(); }

  // Takes an exclusive lock on the directory, held until the result goes, once no other
  // installer of the effective user holds one on this directory, on one above it or on one
  // inside it: installers whose targets are one inside the other (so that either could
  // write where the other replaces) run one after the other, unrelated ones at once. A
  // lock held by anyone else (another user, who could otherwise stall every installer by
  // locking "/") never makes it wait. Calls `waiting` about every
  // listener_pace::CALL_INTERVAL while it waits; what `waiting` throws ends the wait.
  // Costs one descriptor however deep the directory is. Where the file system has no
  // locks, runs unlocked.
  TargetLock lock(const std::function<void()>& waiting) const;

  // Opens the directory `components` below `from` (the target or a directory inside it),
  // creating missing ones (mode 0755, umask applies) when `create`; nothing when one is
  // missing and !create. A symbolic link on the way is followed only while it leads
  // inside the target: it is resolved to a canonical path and the walk starts again from
  // the target with what lies below it, or from where `redirect` says.
  std::optional<Directory> open(const Directory& from, const std::vector<std::string>& components,
                                bool create, const Redirect& redirect = {}) const;

 private:
  explicit TargetDirectory(Directory root) : top(std::move(root)) {}
  // The components below the target of where the link at `link` leads; refuses links
  // that lead outside or nowhere.
  std::vector<std::string> followInside(const std::string& link) const;

  Directory top;
};

#endif  // SFX_EXTRACT_TARGET_DIRECTORY_H_
