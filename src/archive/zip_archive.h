// One ZIP archive: loading it from the end of a file (the installer's own executable),
// listing its entries and extracting single entries. A file is held as a read-only
// mapping, read as it is used; where it cannot be mapped (or for a stream) the archive is
// read into memory.
//
// Failures are std::runtime_error whose message starts with a fixed text:
//   "bad zip"                                         the reader rejects the bytes
//   "didn't find end of central directory signature"  the archive vanished between scans
//   "overlapping entries: ..."                        two entries share bytes (a zip bomb)
//   "not enough memory to hold the archive: ..."      read into memory, with the sizes
//                                                     (what may be held: memory_budget.h)
//   "not enough address space for the installer ..."  mapped, under ulimit -v
//   "FILE: the installer file changed while it was running"  a mapped page is gone
//   "not found"                                       no entry of that name
//   "file couldn't be read: REASON"                   an entry cannot be extracted
//   ""                                                the reader cannot leave its mode
//
// Threads: no locks; not safe for concurrent use. REQUIRES external synchronization: in
// the installer the main thread loads and lists, the extraction worker extracts while the
// main thread is parked in its join, and the main thread takes the comment afterwards.
// Writers given to extractAside are called on helper threads of the archive's own.
//
// Ownership: the archive owns its bytes or mapping and its reader state. Records are not
// kept: each is read from the central directory when asked for, so the memory a run
// takes does not grow with the number of entries. The view entries() hands out is valid
// until the next load or reset().
#ifndef SFX_ARCHIVE_ZIP_ARCHIVE_H_
#define SFX_ARCHIVE_ZIP_ARCHIVE_H_

#include <chrono>
#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <istream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bus_guard.h"
#include "mapped_file.h"
#include "miniz_zip.h"

class LongEntries;
class ReadAhead;

// One entry's central-directory record, as the archive reads it: every field is filled but
// `extra`, which nothing here reads (the ZIP64 sizes and offset it may carry are already in
// the fields). Times are local time.
struct ZipEntryInfo {
  std::string name;
  int32_t year = 1980;
  int32_t month = 0;
  int32_t day = 0;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  std::string comment;
  std::string extra;  // never filled: see above
  uint16_t method = 0;
  uint16_t versionMadeBy = 0;
  uint16_t versionNeeded = 0;
  uint16_t flags = 0;
  uint64_t index = 0;
  uint32_t internalAttributes = 0;
  uint32_t externalAttributes = 0;  // upper 16 bits: Unix st_mode
  uint64_t localHeaderOffset = 0;
  uint32_t crc32 = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
};

class ZipArchive;

// The archive's records in central-directory order, each read when asked for (a value,
// not a reference). Used on the archive's thread, as the archive is: never from the
// writers extractAside calls on its helpers (a record read there races the thread's own).
// Reading one throws "FILE: the installer file changed ..." when its page is gone.
class ZipEntries {
 public:
  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = ZipEntryInfo;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = ZipEntryInfo;
    ZipEntryInfo operator*() const { return (*entries)[index]; }
    iterator& operator++() {
      ++index;
      return *this;
    }
    bool operator==(const iterator& other) const { return index == other.index; }
    bool operator!=(const iterator& other) const { return index != other.index; }

   private:
    friend class ZipEntries;
    iterator(const ZipEntries* entries, size_t index) : entries(entries), index(index) {}
    const ZipEntries* entries;
    size_t index;
  };

  size_t size() const { return count; }
  bool empty() const { return count == 0; }
  ZipEntryInfo operator[](size_t index) const;
  ZipEntryInfo front() const { return (*this)[0]; }
  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, count); }

 private:
  friend class ZipArchive;
  ZipEntries(ZipArchive* archive, size_t count) : archive(archive), count(count) {}
  ZipArchive* archive;
  size_t count;
};

// Receives an entry's bytes in order, a bounded chunk at a time.
using ChunkWriter = std::function<void(const char* data, size_t size)>;

// Where a long entry may instead be inflated whole, in one call: `map` gives `size`
// writable bytes that are the entry's home (its file's own pages), or null where it cannot;
// `unmap` gives them back, `whole` saying whether they now hold the entry (if not, the
// bytes come through the writer after all). Both run on a helper thread; what `unmap`
// throws fails the entry.
struct WholeWriter {
  std::function<char*(uint64_t size)> map;
  std::function<void(char* at, uint64_t size, bool whole)> unmap;
};

// The reader's write callback's context: the caller's writer, what it has taken, and what
// it threw, which must not unwind through the reader's inflate state.
struct Delivery {
  const ChunkWriter* write;
  uint64_t taken = 0;
  std::exception_ptr failure;
};

class ZipArchive {
 public:
  ZipArchive();  // the empty archive, not yet reading
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  // Ends any reader or writer, lets go of a mapped file and leaves the 22-byte empty
  // archive in memory.
  void reset();

  // Loads the archive that ends the file at `path` (found through its end record in the
  // last 65,557 bytes), mapped where the file can be mapped, else read into memory. False,
  // with nothing changed, when the file cannot be opened or holds no end record; true
  // once reading has begun. Damaged data throws. `shownName` names the file in messages.
  bool loadFile(const std::string& path, const std::string& shownName = "");
  // Reads the archive that ends `in` into memory.
  bool loadStream(std::istream& in);

  // Puts the reader in reading mode over the bytes held; throws "bad zip".
  void beginReading();

  // The archive comment as it stood in the file, byte for byte.
  std::string comment() const;

  // Records in central-directory order.
  ZipEntries entries();
  std::vector<std::string> names();
  // The entry named `name`: the exact stored name if there is one, else the ASCII
  // case-blind match. Throws "not found". A walk through every entry: for a few lookups
  // (tests, tools), not one per entry.
  ZipEntryInfo entryInfo(const std::string& name);

  // Hands the uncompressed bytes of the entry at `info.index` to `write`, at most 1 MiB
  // at a time, checking its size and CRC-32 on the way; throws "file couldn't be read:
  // REASON" when it cannot be extracted, possibly after some chunks were handed over.
  // What `write` throws passes unchanged.
  void extractEntry(const ZipEntryInfo& info, const ChunkWriter& write);
  // Entries this long or longer are best extracted on a helper thread each, straight to
  // their writer, while the caller goes on with the entries that follow: bytes handed
  // over in order could run only a few MiB ahead, and two long entries in a row would
  // leave a core idle.
  static constexpr uint64_t LONG_ENTRY = uint64_t(4) << 20;
  // extractEntry takes them on its own thread: its read-ahead passes them over.
  static bool isLong(const ZipEntryInfo& info) {
    return isLong(info.compressedSize, info.uncompressedSize);
  }
  static bool isLong(uint64_t compressedSize, uint64_t uncompressedSize) {
    return compressedSize > 0 && uncompressedSize >= LONG_ENTRY;
  }
  // Starts extracting the long entry at `info.index` to `write` on a helper thread and
  // returns at once; false when the entry is not long or no helper can be had (then use
  // extractEntry). A deflated entry of up to WHOLE_ENTRY bytes, WHOLE_COMPRESSED packed, is
  // inflated straight into `whole`'s bytes where it gives any: one call of the fast
  // inflater, no copy. `write` and `whole` are called on the helper and must stay valid
  // until the entry is reported by extractedAside() or stopAside() returns.
  bool extractAside(const ZipEntryInfo& info, const ChunkWriter& write,
                    const WholeWriter* whole = nullptr);
  // One inflater call cannot be cut short: these bound how long stopAside() may wait for
  // it, which a cancel does (0.10 to 0.13 s measured for 16 MiB of text inflating to 32
  // MiB, against 0.23 s for 64 MiB of text inflated whole). The time goes with the data
  // decoded, not with the length of what it makes.
  static constexpr uint64_t WHOLE_ENTRY = uint64_t(64) << 20;
  static constexpr uint64_t WHOLE_COMPRESSED = uint64_t(16) << 20;
  // The entries extracted aside that ended since the last call, waiting up to `timeout`
  // for one when none has: each with what extractEntry would have thrown, or null.
  struct AsideEnd {
    uint64_t index;
    std::exception_ptr failure;
  };
  std::vector<AsideEnd> extractedAside(std::chrono::milliseconds timeout);
  // The bytes of entry `index` handed to its writer so far, while it runs.
  uint64_t writtenAside(uint64_t index);
  // Stops the helpers wherever they are: no writer is called afterwards.
  void stopAside();

  // The whole entry in memory, through extractEntry.
  std::string readEntry(const ZipEntryInfo& info);

  // Inspection, for tests and diagnostics: whether the archive is read through a mapping
  // of its file, and the reader's mode.
  bool mapped() const { return mapping.data() != nullptr; }
  mz_zip_mode mode() const { return zip->m_zip_mode; }

 private:
  // The writer's output callback, which makes the empty archive in `bytes`.
  static size_t writeToBytes(void* opaque, mz_uint64 offset, const void* data, size_t n);
  bool loadMapped(MappedFile file, const std::string& name);
  // Moves the comment from the end of `view` into `archiveComment`; the end record
  // starts `recordFromEnd` bytes before the end.
  void cutComment(size_t recordFromEnd);
  void endCurrentMode();
  // Refuses entries whose local headers and data share bytes.
  void checkEntriesApart();
  friend class ZipEntries;
  // Entry `index`'s record, read from the central directory; index < entry count. With
  // `numbersOnly`, its name, comment and time are left out: what extracting it needs.
  ZipEntryInfo record(uint64_t index, bool numbersOnly = false);
  // The entry count while reading, else 0.
  uint64_t entryCount() const;
  // Runs `read`, which touches the held bytes; throws "... changed ..." when the mapped
  // file no longer backs them.
  template <typename Read>
  void readHeld(Read&& read);
  std::runtime_error changedFile() const;
  // Extracts entry `index` to `delivery` on this thread; false when the reader fails
  // (why: its last error, or delivery.failure).
  mz_bool extractInPlace(mz_uint index, Delivery& delivery);

  // The same through the read-ahead helper, kept from one entry to the next; false when
  // no helper can be had. Throws as extractEntry does.
  bool extractAhead(const ZipEntryInfo& info, const ChunkWriter& write);
  // Gives back the mapped pages of [begin, end) (archive offsets), extracted already,
  // once enough lie behind the extraction to be worth a call.
  void releaseBehind(uint64_t begin, uint64_t end);

  std::string archiveComment;
  std::unique_ptr<mz_zip_archive> zip;
  std::vector<char> bytes;   // what was read into memory, or the empty archive
  MappedFile mapping;        // or the file, mapped
  std::string_view view;     // the archive within one of them
  std::string fileName;      // the file loaded, for messages
  uint64_t runBegin = 0, runEnd = 0, releasedTo = 0;  // extracted, in archive offsets
  // Scratch for the reader's stat record: 128 KiB with whole names and comments, so it
  // is allocated once rather than per entry.
  std::unique_ptr<mz_zip_archive_file_stat> statScratch;
  // The last entry time converted to local fields: entries often share their time.
  std::optional<time_t> lastTime;
  std::tm lastLocal{};
  std::unique_ptr<ReadAhead> ahead;  // inflating the entries that follow, if any
  std::unique_ptr<LongEntries> aside;  // extracting long entries, if any
};

template <typename Read>
void ZipArchive::readHeld(Read&& read) {
  if (!guarded(mapping.data(), mapping.size(), read)) throw changedFile();
}

#endif  // SFX_ARCHIVE_ZIP_ARCHIVE_H_
