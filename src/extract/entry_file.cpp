#include "entry_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "path_error.h"

namespace {

// Bounded writes: one huge write costs the kernel far more than a run of 1 MiB ones.
const size_t WRITE_CHUNK = size_t(1) << 20;
const unsigned MAX_ATTEMPTS = 1000;

int createExclusive(int dir, const std::string& name, mode_t mode) {
  return openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

}  // namespace

EntryFile::EntryFile(int dir, const std::string& name, const std::string& shownPath, mode_t mode,
                     mode_t mask, bool unseen, const std::string& temporaryPrefix)
    : dir(dir), name(name), shownPath(shownPath), mode(mode),
      modeSet((mode & ~mode_t(0777)) == 0 && (mode & mask) == 0) {
  // Never more open than it will be: the final mode when the umask leaves it whole.
  const mode_t creation = modeSet ? mode : 0600;
  if (unseen) {
    fd = createExclusive(dir, name, creation);
    if (fd >= 0) {
      temporary = name;
      return;
    }
    if (errno != EEXIST) throw failure(errno);
  }
  // Numbered in one sequence for the whole run: a name taken already (an entry that looks
  // like ours) is the user's.
  static unsigned sequence = 0;
  for (unsigned attempt = 0; fd < 0; ++attempt) {
    temporary = temporaryPrefix + std::to_string(sequence++);
    fd = createExclusive(dir, temporary, creation);
    if (fd < 0 && (errno != EEXIST || attempt == MAX_ATTEMPTS)) throw failure(errno);
  }
}

EntryFile::~EntryFile() {
  if (fd >= 0) close(fd);
  if (!landed && !temporary.empty()) unlinkat(dir, temporary.c_str(), 0);
}

std::runtime_error EntryFile::failure(int error) const {
  return std::runtime_error("file couldn't be written: " + shownPath + ": " +
                            std::generic_category().message(error));
}

void EntryFile::write(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, std::min(size, WRITE_CHUNK));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw failure(errno);
    }
    // A write that takes nothing would loop for ever; the disk is as good as full.
    if (n == 0) throw failure(ENOSPC);
    data += n;
    size -= size_t(n);
  }
}

void EntryFile::land() {
  if (!modeSet) (void)fchmod(fd, mode);
  const int closing = fd;
  fd = -1;
  // Network file systems report a failed write only here.
  if (close(closing) != 0 && errno != EINTR) throw failure(errno);
  if (temporary != name && renameat(dir, temporary.c_str(), dir, name.c_str()) != 0)
    throw failure(errno);
  landed = true;
}
