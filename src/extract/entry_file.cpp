#include "entry_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "path_error.h"

namespace {

#ifdef MADV_POPULATE_WRITE
const int MADV_POPULATE_WRITE_OR_NOTHING = MADV_POPULATE_WRITE;
#else
const int MADV_POPULATE_WRITE_OR_NOTHING = 23;  // older headers (Debian 11's) lack it
#endif

// Bounded writes: one huge write costs the kernel far more than a run of 1 MiB ones.
const size_t WRITE_CHUNK = size_t(1) << 20;
const unsigned MAX_ATTEMPTS = 1000;

int createExclusive(int dir, const std::string& name, mode_t mode) {
  // Readable too: a shared mapping needs it (map()).
  return openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
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

char* EntryFile::map(uint64_t size) {
  if (size == 0 || size > uint64_t(std::numeric_limits<off_t>::max()) || size > SIZE_MAX)
    return nullptr;
  // Room taken first: a page written through the mapping with none left would fault.
  if (fallocate(fd, 0, 0, off_t(size)) != 0) {
    if (ftruncate(fd, 0) != 0) throw failure(errno);
    return nullptr;
  }
  void* at = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (at == MAP_FAILED) {
    if (ftruncate(fd, 0) != 0) throw failure(errno);
    return nullptr;
  }
  // Page tables made in one call rather than a fault per page (Linux 5.14; older ones
  // fault as the inflater goes).
  (void)madvise(at, size_t(size), MADV_POPULATE_WRITE_OR_NOTHING);
  return static_cast<char*>(at);
}

void EntryFile::unmap(char* at, uint64_t size, bool whole) {
  munmap(at, size_t(size));
  if (!whole && ftruncate(fd, 0) != 0) throw failure(errno);
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
