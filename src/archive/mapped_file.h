// A file held as a read-only private mapping: its pages come from the page cache as they
// are read, count as the file's and not as our memory, and can be given back.
#ifndef SFX_ARCHIVE_MAPPED_FILE_H_
#define SFX_ARCHIVE_MAPPED_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

class MappedFile {
 public:
  enum class Opened { Mapped, NotOpened, NotMapped };

  MappedFile() = default;
  ~MappedFile();
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;

  // Maps the whole regular file at `path`. NotOpened when it cannot be opened; NotMapped
  // when it can but is no regular file, is empty, the kernel refuses to map it, or the
  // address space ulimit -v leaves could not take it and still run the installer.
  Opened open(const std::string& path);

  const char* data() const { return base; }
  size_t size() const { return length; }

  // Gives the whole pages inside [from, to) back to the kernel: out of our mapping, first
  // in line to be reclaimed, and out of the page cache when the file is large beside the
  // memory available (over a quarter), so a large installer does not crowd out other
  // files' cache. They are read again from the file should they be needed.
  void release(uint64_t from, uint64_t to);

 private:
  void close();

  int fd = -1;
  const char* base = nullptr;
  size_t length = 0;
  bool dropFromCache = false;
};

#endif  // SFX_ARCHIVE_MAPPED_FILE_H_
