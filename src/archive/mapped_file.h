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

  // Pages are given back in steps of at least this much, to keep the calls few.
  static constexpr uint64_t RELEASE_STEP = uint64_t(8) << 20;

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

// How far into an entry's `packed` bytes of data, which inflate to `size`, the reading has
// certainly got once `written` bytes are out: in proportion, less a margin for what the
// inflater reads ahead. The pages before it may be given back.
inline uint64_t readBehind(uint64_t packed, uint64_t size, uint64_t written) {
  const uint64_t margin = uint64_t(4) << 20;
  const uint64_t read = size == 0 ? 0 : uint64_t(double(written) * double(packed) / double(size));
  return read > margin ? read - margin : 0;
}

#endif  // SFX_ARCHIVE_MAPPED_FILE_H_
