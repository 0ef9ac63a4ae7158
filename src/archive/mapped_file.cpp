#include "mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "memory_budget.h"

#ifndef MADV_COLD
#define MADV_COLD 20  // Linux 5.4; older kernels refuse it, which costs nothing
#endif

MappedFile::~MappedFile() { close(); }

MappedFile::MappedFile(MappedFile&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      base(std::exchange(other.base, nullptr)),
      length(std::exchange(other.length, 0)),
      dropFromCache(other.dropFromCache) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    close();
    fd = std::exchange(other.fd, -1);
    base = std::exchange(other.base, nullptr);
    length = std::exchange(other.length, 0);
    dropFromCache = other.dropFromCache;
  }
  return *this;
}

void MappedFile::close() {
  if (base) munmap(const_cast<char*>(base), length);
  // Read-only: nothing of ours is lost when closing fails.
  if (fd >= 0) ::close(fd);
  fd = -1;
  base = nullptr;
  length = 0;
}

MappedFile::Opened MappedFile::open(const std::string& path) {
  close();
  const int opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (opened < 0) return Opened::NotOpened;
  struct stat st;
  if (fstat(opened, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
      uint64_t(st.st_size) > SIZE_MAX) {
    ::close(opened);
    return Opened::NotMapped;
  }
  const size_t size = size_t(st.st_size);
  // Under a tight ulimit -v the file is read instead, as far as it is an archive.
  void* mapped = roomToMap(size) ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, opened, 0) : MAP_FAILED;
  if (mapped == MAP_FAILED) {
    ::close(opened);
    return Opened::NotMapped;
  }
  // Read front to back: the kernel may read ahead further.
  madvise(mapped, size, MADV_SEQUENTIAL);
  // A file large beside the memory there is would push other files out of the cache.
  const uint64_t available = availableMemory();
  dropFromCache = available != UINT64_MAX && size > available / 4;
  fd = opened;
  base = static_cast<const char*>(mapped);
  length = size;
  return Opened::Mapped;
}

void MappedFile::release(uint64_t from, uint64_t to) {
  const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
  if (to > length) to = length;
  from = (from + page - 1) / page * page;
  to = to / page * page;
  if (!base || from >= to) return;
  // Only advice: a refusal costs cache, never correctness. The pages go to the end of the
  // kernel's reclaim order and out of our mapping; from the cache too when asked.
  char* at = const_cast<char*>(base) + from;
  madvise(at, size_t(to - from), MADV_COLD);
  madvise(at, size_t(to - from), MADV_DONTNEED);
  if (dropFromCache) posix_fadvise(fd, off_t(from), off_t(to - from), POSIX_FADV_DONTNEED);
}
