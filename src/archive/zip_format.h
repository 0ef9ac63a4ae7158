// The fixed parts of the ZIP format that both the reader and the loader read:
// signatures, record sizes, field offsets, and little-endian fields.
#ifndef SFX_ARCHIVE_ZIP_FORMAT_H_
#define SFX_ARCHIVE_ZIP_FORMAT_H_

#include <cstdint>

namespace zip_format {

constexpr uint32_t LOCAL_SIG = 0x04034b50;
constexpr uint32_t CENTRAL_SIG = 0x02014b50;
constexpr uint32_t END_SIG = 0x06054b50;
constexpr uint32_t ZIP64_END_SIG = 0x06064b50;
constexpr uint32_t ZIP64_LOCATOR_SIG = 0x07064b50;

// Record sizes without their variable parts.
constexpr uint64_t LOCAL_SIZE = 30;
constexpr uint64_t CENTRAL_SIZE = 46;
constexpr uint64_t END_SIZE = 22;
constexpr uint64_t ZIP64_END_SIZE = 56;  // without the extensible data that may follow
constexpr uint64_t ZIP64_LOCATOR_SIZE = 20;
constexpr uint64_t MAX_COMMENT = 0xFFFF;
// The end record starts within this many bytes of the end: itself and the longest comment.
constexpr uint64_t END_WINDOW = END_SIZE + MAX_COMMENT;

// End record fields.
constexpr int E_DISK = 4, E_DIR_DISK = 6, E_ENTRIES_ON_DISK = 8, E_ENTRIES = 10, E_DIR_SIZE = 12,
              E_DIR_OFS = 16, E_COMMENT_LEN = 20;
// ZIP64 end record fields, and the locator's offset of that record.
constexpr int Z_RECORD_SIZE = 4, Z_DISK = 16, Z_DIR_DISK = 20, Z_ENTRIES_ON_DISK = 24,
              Z_ENTRIES = 32, Z_DIR_SIZE = 40, Z_DIR_OFS = 48;
constexpr int LOC_DISK = 4, LOC_RECORD_OFS = 8, LOC_DISKS = 16;
// Central header fields.
constexpr int C_MADE_BY = 4, C_NEEDED = 6, C_FLAGS = 8, C_METHOD = 10, C_TIME = 12, C_DATE = 14,
              C_CRC = 16, C_COMP = 20, C_UNCOMP = 24, C_NAME_LEN = 28, C_EXTRA_LEN = 30,
              C_COMMENT_LEN = 32, C_INTERNAL = 36, C_EXTERNAL = 38, C_LOCAL_OFS = 42;
// Local header fields.
constexpr int L_NAME_LEN = 26, L_EXTRA_LEN = 28;

inline uint16_t le16(const void* at) {
  const unsigned char* p = static_cast<const unsigned char*>(at);
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t le32(const void* at) {
  const unsigned char* p = static_cast<const unsigned char*>(at);
  return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16;
}
inline uint64_t le64(const void* at) {
  const unsigned char* p = static_cast<const unsigned char*>(at);
  return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32;
}

// Position of the last end-record signature in the `size` bytes at `data`, or `size`
// when there is none: the record a reader takes is the last one.
inline size_t findEndRecord(const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t p = size >= 4 ? size - 4 + 1 : 0; p-- > 0;)
    if (le32(bytes + p) == END_SIG) return p;
  return size;
}

}  // namespace zip_format

#endif  // SFX_ARCHIVE_ZIP_FORMAT_H_
