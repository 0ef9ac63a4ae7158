// One ZIP archive held in memory: loading it from the end of a file (the installer's
// own executable), listing its entries and writing single entries to files.
//
// Failures are std::runtime_error with fixed messages:
//   "bad zip"                                         the reader rejects the bytes
//   "didn't find end of central directory signature"  the archive vanished between scans
//   "not found"                                       no entry of that name
//   "file couldn't be read"                           an entry cannot be extracted
//   "file couldn't be written: PATH"                  an entry's file cannot be written
//   ""                                                the reader cannot leave its mode
#ifndef SFX_ARCHIVE_ZIP_ARCHIVE_H_
#define SFX_ARCHIVE_ZIP_ARCHIVE_H_

#include <cstdint>
#include <istream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "miniz_zip.h"

// One entry's central-directory record. Times are local time.
struct ZipEntryInfo {
  std::string name;
  int32_t year = 1980;
  int32_t month = 0;
  int32_t day = 0;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  std::string comment;
  std::string extra;  // never filled
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

// Joins with one "/" between elements; nothing is normalised.
std::string joinPath(const std::vector<std::string>& parts);

class ZipArchive {
 public:
  ZipArchive();  // the empty archive, not yet reading
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  // Ends any reader or writer and leaves the 22-byte empty archive in memory.
  void reset();

  // Loads the archive that ends the file at `path` (found through its end record in the
  // last 65,557 bytes). False, with nothing changed, when the file cannot be opened or
  // holds no end record; true once reading has begun. Damaged data throws.
  bool loadFile(const std::string& path);
  bool loadStream(std::istream& in);

  // Puts the reader in reading mode over the bytes held; throws "bad zip".
  void beginReading();

  // The archive comment as it stood in the file, byte for byte.
  std::string comment() const;

  // The writer's output callback; `opaque` is the address of a std::vector<char>.
  static size_t writeToBytes(void* opaque, mz_uint64 offset, const void* data, size_t n);

  // Records in central-directory order.
  std::vector<ZipEntryInfo> entries();
  std::vector<std::string> names();
  // The entry named `name`: the exact stored name if there is one, else the ASCII
  // case-blind match. Throws "not found".
  ZipEntryInfo entryInfo(const std::string& name);

  // Writes the entry `name` to joinPath({baseDirectory, name}), truncating what was there.
  void extractEntry(const std::string& name, const std::string& baseDirectory);
  // The uncompressed bytes of the entry `info` designates; throws "file couldn't be read".
  std::string readEntry(const ZipEntryInfo& info);

  // Inspection, for tests and diagnostics.
  const std::vector<char>& data() const { return bytes; }
  mz_zip_mode mode() const { return zip->m_zip_mode; }

 private:
  void endCurrentMode();
  // Moves the comment from the end of `bytes` into `archiveComment`.
  void cutComment();
  ZipEntryInfo record(mz_uint index);
  // The bytes of the entry `info` describes, its buffer sized from `info`, which must be
  // this archive's record as it stands.
  std::string readRecorded(const ZipEntryInfo& info);
  // Passes `content` through `stagingStream` into `out`, leaving the stream empty.
  void writeStaged(std::string content, std::ostream& out);

  std::string archiveComment;
  std::unique_ptr<mz_zip_archive> zip;
  std::vector<char> bytes;
  std::stringstream stagingStream;
  // Scratch for the reader's stat record: 128 KiB with whole names and comments, so it
  // is allocated once rather than per entry.
  std::unique_ptr<mz_zip_archive_file_stat> statScratch;
};

#endif  // SFX_ARCHIVE_ZIP_ARCHIVE_H_
