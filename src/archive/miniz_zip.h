// The part of the miniz 9.1.15 ZIP reader and writer API that the archive code uses,
// with the same names, types, mode values and results, implemented on zlib and libdeflate.
//
// Departures from that library version, each on purpose:
//  - the stat record keeps entry names and entry comments whole (up to the format's
//    65,535 bytes) instead of cutting them at 259 and 255 bytes;
//  - a name lookup prefers the entry whose stored name matches exactly and falls back
//    to the ASCII case-blind match only when there is none, so "README" and "readme"
//    stay two entries;
//  - an entry that looks like a directory (attribute bit 0x10, or a name ending in "/")
//    but carries data gets its real bytes extracted and checked like any file, rather
//    than leaving the caller's buffer as it was;
//  - extraction refuses an uncompressed size that the compressed size cannot produce;
//  - why an extraction failed is kept as later releases of the library keep it
//    (mz_zip_error, m_last_error, mz_zip_get_last_error), for the values used here;
//  - extraction to memory inflates a deflated entry in one call with libdeflate, and
//    checksums use libdeflate's CRC-32, several times faster than zlib's;
//  - ZIP64 archives are read: an end record holding all-ones values defers to the ZIP64
//    end record named by the locator before it, and a central header's all-ones sizes
//    and local header offset to its ZIP64 extra field. More than 65,535 entries count in
//    m_total_files. The stat record's m_central_dir_ofs keeps only 32 bits.
#ifndef SFX_ARCHIVE_MINIZ_ZIP_H_
#define SFX_ARCHIVE_MINIZ_ZIP_H_

#include <cstddef>
#include <ctime>

#define MZ_VERSION "9.1.15"

typedef unsigned char mz_uint8;
typedef unsigned short mz_uint16;
typedef unsigned int mz_uint32;
typedef unsigned int mz_uint;
typedef unsigned long long mz_uint64;
typedef int mz_bool;

#define MZ_FALSE (0)
#define MZ_TRUE (1)

// The one compression method besides storing.
#define MZ_DEFLATED 8

enum {
  MZ_ZIP_MAX_IO_BUF_SIZE = 64 * 1024,
  MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE = 65536,
  MZ_ZIP_MAX_ARCHIVE_FILE_COMMENT_SIZE = 65536
};

typedef struct {
  mz_uint32 m_file_index;
  mz_uint32 m_central_dir_ofs;
  mz_uint16 m_version_made_by;
  mz_uint16 m_version_needed;
  mz_uint16 m_bit_flag;
  mz_uint16 m_method;
  time_t m_time;
  mz_uint32 m_crc32;
  mz_uint64 m_comp_size;
  mz_uint64 m_uncomp_size;
  mz_uint16 m_internal_attr;
  mz_uint32 m_external_attr;
  mz_uint64 m_local_header_ofs;
  mz_uint32 m_comment_size;
  char m_filename[MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE];
  char m_comment[MZ_ZIP_MAX_ARCHIVE_FILE_COMMENT_SIZE];
} mz_zip_archive_file_stat;

typedef void* (*mz_alloc_func)(void* opaque, size_t items, size_t size);
typedef void (*mz_free_func)(void* opaque, void* address);
typedef void* (*mz_realloc_func)(void* opaque, void* address, size_t items, size_t size);
typedef size_t (*mz_file_read_func)(void* pOpaque, mz_uint64 file_ofs, void* pBuf, size_t n);
typedef size_t (*mz_file_write_func)(void* pOpaque, mz_uint64 file_ofs, const void* pBuf, size_t n);

struct mz_zip_internal_state_tag;
typedef struct mz_zip_internal_state_tag mz_zip_internal_state;

// Why the last extraction failed; the names of later releases of the library.
typedef enum {
  MZ_ZIP_NO_ERROR = 0,
  MZ_ZIP_UNSUPPORTED_METHOD,
  MZ_ZIP_UNSUPPORTED_ENCRYPTION,
  MZ_ZIP_INVALID_HEADER_OR_CORRUPTED,
  MZ_ZIP_DECOMPRESSION_FAILED,
  MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE,
  MZ_ZIP_CRC_CHECK_FAILED,
  MZ_ZIP_ALLOC_FAILED,
  MZ_ZIP_INVALID_PARAMETER,
  MZ_ZIP_WRITE_CALLBACK_FAILED,
  MZ_ZIP_BUF_TOO_SMALL
} mz_zip_error;

typedef enum {
  MZ_ZIP_MODE_INVALID = 0,
  MZ_ZIP_MODE_READING = 1,
  MZ_ZIP_MODE_WRITING = 2,
  MZ_ZIP_MODE_WRITING_HAS_BEEN_FINALIZED = 3
} mz_zip_mode;

typedef struct mz_zip_archive_tag {
  mz_uint64 m_archive_size;
  mz_uint64 m_central_directory_file_ofs;
  mz_uint m_total_files;
  mz_zip_mode m_zip_mode;
  mz_uint m_file_offset_alignment;
  mz_alloc_func m_pAlloc;
  mz_free_func m_pFree;
  mz_realloc_func m_pRealloc;
  void* m_pAlloc_opaque;
  mz_file_read_func m_pRead;
  mz_file_write_func m_pWrite;
  void* m_pIO_opaque;
  mz_zip_internal_state* m_pState;
  mz_zip_error m_last_error;
} mz_zip_archive;

typedef enum {
  MZ_ZIP_FLAG_CASE_SENSITIVE = 0x0100,
  MZ_ZIP_FLAG_IGNORE_PATH = 0x0200,
  MZ_ZIP_FLAG_COMPRESSED_DATA = 0x0400,
  MZ_ZIP_FLAG_DO_NOT_SORT_CENTRAL_DIRECTORY = 0x0800
} mz_zip_flags;

// Reading from memory. The memory must stay valid and unchanged until mz_zip_reader_end.
// MZ_ZIP_FLAG_DO_NOT_SORT_CENTRAL_DIRECTORY leaves out the name index: a reader that only
// extracts by index needs none, and lookups then search in directory order.
mz_bool mz_zip_reader_init_mem(mz_zip_archive* pZip, const void* pMem, size_t size, mz_uint32 flags);
mz_bool mz_zip_reader_file_stat(mz_zip_archive* pZip, mz_uint file_index, mz_zip_archive_file_stat* pStat);
// Whole-name lookup, ASCII case ignored unless MZ_ZIP_FLAG_CASE_SENSITIVE is given. A
// comment to match and the other flags are not offered: the result is then -1.
int mz_zip_reader_locate_file(mz_zip_archive* pZip, const char* pName, const char* pComment, mz_uint flags);
// Hands the entry's uncompressed bytes to pCallback in order, at most 1 MiB at a time,
// with their offset in the entry. A callback that takes fewer bytes than it was given
// ends the extraction with false. The size and CRC-32 are checked as the bytes go by, so
// a damaged entry is known only at the end: the callback may have taken part of it.
mz_bool mz_zip_reader_extract_to_callback(mz_zip_archive* pZip, mz_uint file_index, mz_file_write_func pCallback, void* pOpaque, mz_uint flags);
// Extracts the whole entry into pBuf, which must hold its uncompressed size (else
// MZ_ZIP_BUF_TOO_SMALL), checking its size and CRC-32. A deflated entry is inflated in one
// call (libdeflate); one that fails there is extracted as extract_to_callback extracts it,
// so the bytes left in pBuf and the reason for a failure are that function's.
mz_bool mz_zip_reader_extract_to_mem(mz_zip_archive* pZip, mz_uint file_index, void* pBuf, size_t buf_size, mz_uint flags);
// Why the last failed extraction failed; clears it.
mz_zip_error mz_zip_get_last_error(mz_zip_archive* pZip);
mz_bool mz_zip_reader_end(mz_zip_archive* pZip);

// Writing through m_pWrite. Only archives without entries can be produced.
mz_bool mz_zip_writer_init(mz_zip_archive* pZip, mz_uint64 existing_size);
mz_bool mz_zip_writer_finalize_archive(mz_zip_archive* pZip);
mz_bool mz_zip_writer_end(mz_zip_archive* pZip);

#endif  // SFX_ARCHIVE_MINIZ_ZIP_H_
