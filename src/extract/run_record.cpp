#include "run_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "path_error.h"

namespace run_record_format {
const char PREFIX[] = ".sfx-run.";
const char MAGIC[] = "sfx-stub run record 2\n";
}  // namespace run_record_format

namespace {

using run_record_format::MAGIC;
using run_record_format::PREFIX;
using run_record_format::TOKEN_LENGTH;

// 64 random bits: nobody can guess the names a run will make, so none of them can be
// planted beforehand (an archive entry included).
std::string newToken() {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, 0) != ssize_t(sizeof bits)) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    bits = (uint64_t(now.tv_nsec) << 20) ^ uint64_t(now.tv_sec) ^ (uint64_t(getpid()) << 44);
  }
  char text[TOKEN_LENGTH + 1];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

bool exists(int dir, const std::string& name) {
  struct stat st;
  return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool writeAll(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  size_t size = bytes.size();
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

std::string joined(const std::vector<std::string>& components) {
  std::string path;
  for (const std::string& component : components) path += (path.empty() ? "" : "/") + component;
  return path;
}

}  // namespace

RunRecord::RunRecord(const Directory& dir) : dir(dir) {
  for (int attempt = 0;; ++attempt) {
    token = newToken();
    name = PREFIX + token;
    fd = openat(dir.fd(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) break;
    if (errno != EEXIST || attempt == 10) throw pathError(childPath(dir.path(), name), errno);
  }
  // Only the owner may read or write it, whatever the umask left: a record anyone else
  // could write is not ours.
  struct stat st;
  modesKept = fchmod(fd, 0600) == 0 && fstat(fd, &st) == 0 && (st.st_mode & 07777) == 0600;
  // Where the file system has no locks the record is still written; a later run cannot
  // take its lock either, and leaves what it names alone.
  (void)flock(fd, LOCK_EX | LOCK_NB);
  std::string upper = name;
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  folds = exists(dir.fd(), upper);
  if (!writeAll(fd, MAGIC)) {
    const int error = errno;
    close(fd);
    unlinkat(dir.fd(), name.c_str(), 0);
    throw pathError(childPath(dir.path(), name), error);
  }
}

RunRecord::~RunRecord() {
  if (!kept) unlinkat(dir.fd(), name.c_str(), 0);
  close(fd);
}

void RunRecord::append(const std::string& key, const std::string& value) {
  std::string field = key;
  field += '\0';
  field += value;
  field += '\0';
  if (!writeAll(fd, field)) throw pathError(childPath(dir.path(), name), errno ? errno : ENOSPC);
}

void RunRecord::notePlace(const std::vector<std::string>& holder, const std::string& leaf) {
  append("holder", joined(holder));
  append("place", leaf);
}

void RunRecord::noteTemporaries(const std::vector<std::string>& components) {
  append("temporaries", joined(components));
}

void RunRecord::noteMade(const std::vector<std::string>& components) {
  append("made", joined(components));
}

HeldRecord RunRecord::handOver() {
  kept = true;
  // Another descriptor of the same open file holds the same lock. Without one (out of
  // descriptors), nobody holds it once this run ends, and a later run takes over.
  const int held = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  const int heldDir = fcntl(dir.fd(), F_DUPFD_CLOEXEC, 0);
  if (held < 0 || heldDir < 0) {
    if (held >= 0) close(held);
    if (heldDir >= 0) close(heldDir);
    return HeldRecord(Directory(), name, -1, true);
  }
  return HeldRecord(Directory(heldDir, dir.path()), name, held, true);
}
