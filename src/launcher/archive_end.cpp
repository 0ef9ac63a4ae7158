#include "archive_end.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "zip_format.h"

using namespace zip_format;

bool endRecordListsEntries(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  std::vector<unsigned char> tail;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    tail.resize(size_t(std::min<uint64_t>(uint64_t(st.st_size), END_WINDOW)));
    const ssize_t got = pread(fd, tail.data(), tail.size(), st.st_size - off_t(tail.size()));
    tail.resize(got > 0 ? size_t(got) : 0);
  }
  close(fd);
  // The record the loader takes: the last signature, whole.
  const size_t p = findEndRecord(tail.data(), tail.size());
  return p + END_SIZE <= tail.size() && le16(tail.data() + p + E_ENTRIES) != 0;
}
