#include "miniz_zip.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "entry_size_limit.h"
#include "zip_format.h"

// What a reader or writer keeps between calls. Allocated with the archive's allocator.
struct mz_zip_internal_state_tag {
  const mz_uint8* mem;         // the archive (reader only)
  const mz_uint8* centralDir;  // the central directory, within mem
  // Entry i -> offset of its central header in the directory: 32 bits, as the library
  // keeps them, since every reader of the archive holds one for each entry.
  mz_uint32* centralOffsets;
  mz_uint32* sortedIndex;      // entry indices ordered by name, ASCII case ignored; or null
  // Kept from one extraction to the next, so that one cut short (even by a jump out of
  // the reader) leaves nothing to release but with the state: the slice the output is
  // handed out from, and the inflaters (zlib's for output in slices, libdeflate's for
  // whole entries).
  mz_uint8* slice;
  z_stream* inflater;
  libdeflate_decompressor* decompressor;
  // The last DOS date converted: its local midnight, and whether that day has 86,400
  // seconds (no clock change), so that times on it need no mktime call of their own.
  bool dayKnown;
  mz_uint16 day;
  time_t midnight;
  bool plainDay;
};

namespace {

using namespace zip_format;

const mz_uint16 ZIP64_EXTRA_ID = 0x0001;
// A field holding all ones has its value in a ZIP64 record or extra field.
const mz_uint16 WIDE16 = 0xFFFF;
const mz_uint32 WIDE32 = 0xFFFFFFFF;
// Output is produced and checksummed in slices this long, each while still in cache.
const size_t SLICE = 1 << 20;


// Whether `length` bytes at `offset` lie within `size` bytes, without overflow.
bool fits(mz_uint64 offset, mz_uint64 length, mz_uint64 size) {
  return offset <= size && length <= size - offset;
}

void* defaultAlloc(void*, size_t items, size_t size) {
  if (size != 0 && items > SIZE_MAX / size) return nullptr;
  return malloc(items * size);
}
void defaultFree(void*, void* address) { free(address); }
void* defaultRealloc(void*, void* address, size_t items, size_t size) {
  if (size != 0 && items > SIZE_MAX / size) return nullptr;
  return realloc(address, items * size);
}

void installDefaultAllocators(mz_zip_archive* zip) {
  if (!zip->m_pAlloc) zip->m_pAlloc = defaultAlloc;
  if (!zip->m_pFree) zip->m_pFree = defaultFree;
  if (!zip->m_pRealloc) zip->m_pRealloc = defaultRealloc;
}

void* allocate(mz_zip_archive* zip, size_t items, size_t size) {
  return zip->m_pAlloc(zip->m_pAlloc_opaque, items, size);
}
void release(mz_zip_archive* zip, void* address) {
  if (address) zip->m_pFree(zip->m_pAlloc_opaque, address);
}

bool beginState(mz_zip_archive* zip) {
  if (!zip || zip->m_pState || zip->m_zip_mode != MZ_ZIP_MODE_INVALID) return false;
  installDefaultAllocators(zip);
  void* state = allocate(zip, 1, sizeof(mz_zip_internal_state));
  if (!state) return false;
  memset(state, 0, sizeof(mz_zip_internal_state));
  zip->m_pState = static_cast<mz_zip_internal_state*>(state);
  zip->m_archive_size = 0;
  zip->m_central_directory_file_ofs = 0;
  zip->m_total_files = 0;
  zip->m_last_error = MZ_ZIP_NO_ERROR;
  return true;
}

void endState(mz_zip_archive* zip) {
  mz_zip_internal_state* state = zip->m_pState;
  if (state->inflater) inflateEnd(state->inflater);
  release(zip, state->inflater);
  if (state->decompressor) libdeflate_free_decompressor(state->decompressor);
  release(zip, state->slice);
  release(zip, state->centralOffsets);
  release(zip, state->sortedIndex);
  release(zip, state);
  zip->m_pState = nullptr;
  zip->m_zip_mode = MZ_ZIP_MODE_INVALID;
}

// ---- End record ---------------------------------------------------------------

struct EndRecord {
  mz_uint64 disk;
  mz_uint64 dirDisk;
  mz_uint64 entriesOnDisk;
  mz_uint64 entries;
  mz_uint64 dirSize;
  mz_uint64 dirOfs;
  mz_uint64 dirLimit;  // where the directory must end by: the next record
};

bool holdsWideMarker(const EndRecord& r) {
  return r.disk == WIDE16 || r.dirDisk == WIDE16 || r.entriesOnDisk == WIDE16 ||
         r.entries == WIDE16 || r.dirSize == WIDE32 || r.dirOfs == WIDE32;
}

// A classic field either defers to the ZIP64 record (all ones) or says the same.
bool agrees(mz_uint64 classic, mz_uint64 wide, mz_uint64 marker) {
  return classic == marker || classic == wide;
}

// Reads the ZIP64 end record named by the locator at `locatorPos`. The record must end
// where the locator begins and agree with the classic record it replaces.
bool readZip64EndRecord(const mz_uint8* mem, mz_uint64 locatorPos, const EndRecord& classic,
                        EndRecord* out) {
  const mz_uint8* locator = mem + locatorPos;
  // The record is on disk 0 of a single disk (some writers count no disks at all).
  if (le32(locator + LOC_DISK) != 0 || le32(locator + LOC_DISKS) > 1) return false;
  mz_uint64 at = le64(locator + LOC_RECORD_OFS);
  if (!fits(at, ZIP64_END_SIZE, locatorPos)) return false;
  const mz_uint8* p = mem + at;
  if (le32(p) != ZIP64_END_SIG || le64(p + Z_RECORD_SIZE) != locatorPos - at - 12) return false;
  EndRecord wide{le32(p + Z_DISK),    le32(p + Z_DIR_DISK), le64(p + Z_ENTRIES_ON_DISK),
                 le64(p + Z_ENTRIES), le64(p + Z_DIR_SIZE), le64(p + Z_DIR_OFS),
                 at};
  if (!agrees(classic.disk, wide.disk, WIDE16) || !agrees(classic.dirDisk, wide.dirDisk, WIDE16) ||
      !agrees(classic.entriesOnDisk, wide.entriesOnDisk, WIDE16) ||
      !agrees(classic.entries, wide.entries, WIDE16) ||
      !agrees(classic.dirSize, wide.dirSize, WIDE32) ||
      !agrees(classic.dirOfs, wide.dirOfs, WIDE32))
    return false;
  *out = wide;
  return true;
}

// Finds the last complete end record within the final 22 + 65,535 bytes, and the ZIP64
// end record when it defers to one, and checks that they describe one disk and a
// directory inside the archive. Without a ZIP64 locator all-ones values count as they
// stand: 65,535 entries are written so without one.
bool readEndRecord(const mz_uint8* mem, mz_uint64 size, EndRecord* out) {
  if (size < END_SIZE) return false;
  mz_uint64 lowest = size > END_WINDOW ? size - END_WINDOW : 0;
  mz_uint64 pos = size - END_SIZE;
  while (le32(mem + pos) != END_SIG) {
    if (pos == lowest) return false;
    pos--;
  }
  const mz_uint8* p = mem + pos;
  *out = {le16(p + E_DISK),    le16(p + E_DIR_DISK), le16(p + E_ENTRIES_ON_DISK),
          le16(p + E_ENTRIES), le32(p + E_DIR_SIZE), le32(p + E_DIR_OFS),
          size};
  if (holdsWideMarker(*out) && pos >= ZIP64_LOCATOR_SIZE &&
      le32(p - ZIP64_LOCATOR_SIZE) == ZIP64_LOCATOR_SIG) {
    if (!readZip64EndRecord(mem, pos - ZIP64_LOCATOR_SIZE, *out, out)) return false;
  }
  if (out->disk != 0 || out->dirDisk != 0 || out->entriesOnDisk != out->entries) return false;
  // m_total_files counts in 32 bits.
  if (out->entries > WIDE32 || out->entries > out->dirSize / CENTRAL_SIZE) return false;
  return fits(out->dirOfs, out->dirSize, out->dirLimit);
}

// ---- Central directory --------------------------------------------------------

// An entry's sizes and local header offset.
struct EntryFields {
  mz_uint64 comp;
  mz_uint64 uncomp;
  mz_uint64 localOfs;
};

// The data of the first extra field block with `id` among the `length` bytes at `extra`,
// or null. A block running past the end is not taken.
const mz_uint8* findExtra(const mz_uint8* extra, mz_uint64 length, mz_uint16 id,
                          mz_uint64* dataLength) {
  mz_uint64 pos = 0;
  while (length - pos >= 4) {
    mz_uint64 size = le16(extra + pos + 2);
    if (size > length - pos - 4) return nullptr;
    if (le16(extra + pos) == id) {
      *dataLength = size;
      return extra + pos + 4;
    }
    pos += 4 + size;
  }
  return nullptr;
}

// Reads the fields from the central header `p`, whose name and extra field lie within
// the directory. A field holding all ones takes its value from the ZIP64 extra field,
// which holds only such fields, in the order uncompressed size, compressed size, local
// header offset. False when that field is missing or too short.
bool readEntryFields(const mz_uint8* p, EntryFields* out) {
  out->comp = le32(p + C_COMP);
  out->uncomp = le32(p + C_UNCOMP);
  out->localOfs = le32(p + C_LOCAL_OFS);
  mz_uint64* wide[] = {&out->uncomp, &out->comp, &out->localOfs};
  mz_uint64 length = 0;
  const mz_uint8* data = nullptr;
  for (mz_uint64* field : wide) {
    if (*field != WIDE32) continue;
    if (!data) {
      data = findExtra(p + CENTRAL_SIZE + le16(p + C_NAME_LEN), le16(p + C_EXTRA_LEN),
                       ZIP64_EXTRA_ID, &length);
      if (!data) return false;
    }
    if (length < 8) return false;
    *field = le64(data);
    data += 8;
    length -= 8;
  }
  return true;
}

// Checks the central header at `p`, with `room` bytes left in the directory, and
// returns its whole length (0 when it is broken).
mz_uint64 checkCentralHeader(const mz_uint8* p, mz_uint64 room, mz_uint64 archiveSize) {
  if (room < CENTRAL_SIZE || le32(p) != CENTRAL_SIG) return 0;
  mz_uint64 length =
      CENTRAL_SIZE + le16(p + C_NAME_LEN) + le16(p + C_EXTRA_LEN) + le16(p + C_COMMENT_LEN);
  if (length > room) return 0;
  EntryFields f;
  if (!readEntryFields(p, &f)) return 0;
  if (le16(p + C_METHOD) == 0 && f.comp != f.uncomp) return 0;
  if (f.uncomp > 0 && f.comp == 0) return 0;
  if (!fits(f.localOfs, LOCAL_SIZE, archiveSize)) return 0;
  if (!fits(f.localOfs + LOCAL_SIZE, f.comp, archiveSize)) return 0;
  return length;
}

std::string_view nameAt(const mz_uint8* header) {
  return {reinterpret_cast<const char*>(header + CENTRAL_SIZE), le16(header + C_NAME_LEN)};
}

std::string_view entryName(const mz_zip_internal_state* state, mz_uint32 index) {
  return nameAt(state->centralDir + state->centralOffsets[index]);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// <0, 0 or >0 as `a` sorts before, with or after `b`, ASCII case ignored.
int compareFolded(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; i++) {
    unsigned char x = lower(a[i]), y = lower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool readCentralDirectory(mz_zip_archive* zip, const EndRecord& end, bool sorted) {
  mz_zip_internal_state* state = zip->m_pState;
  size_t count = size_t(end.entries);
  // A directory past 4 GiB (some 90 million entries) cannot be indexed in 32 bits.
  if (end.dirSize > WIDE32) return false;
  state->centralDir = state->mem + end.dirOfs;
  // At least one element, so that an empty directory still gets a valid pointer.
  state->centralOffsets = static_cast<mz_uint32*>(allocate(zip, count + 1, sizeof(mz_uint32)));
  if (!state->centralOffsets) return false;

  mz_uint64 pos = end.dirOfs, dirEnd = end.dirOfs + end.dirSize;
  for (size_t i = 0; i < count; i++) {
    mz_uint64 length = checkCentralHeader(state->mem + pos, dirEnd - pos, zip->m_archive_size);
    if (length == 0) return false;
    state->centralOffsets[i] = mz_uint32(pos - end.dirOfs);
    pos += length;
  }
  zip->m_total_files = mz_uint(count);
  zip->m_central_directory_file_ofs = end.dirOfs;
  if (!sorted) return true;
  state->sortedIndex = static_cast<mz_uint32*>(allocate(zip, count + 1, sizeof(mz_uint32)));
  if (!state->sortedIndex) return false;
  for (size_t i = 0; i < count; i++) state->sortedIndex[i] = mz_uint32(i);
  // Ties keep directory order, so a case-blind lookup falls back to the first such entry.
  std::sort(state->sortedIndex, state->sortedIndex + count, [state](mz_uint32 a, mz_uint32 b) {
    int c = compareFolded(entryName(state, a), entryName(state, b));
    return c != 0 ? c < 0 : a < b;
  });
  return true;
}

const mz_uint8* centralHeader(mz_zip_archive* zip, mz_uint index) {
  if (!zip || !zip->m_pState || zip->m_zip_mode != MZ_ZIP_MODE_READING) return nullptr;
  if (index >= zip->m_total_files) return nullptr;
  return zip->m_pState->centralDir + zip->m_pState->centralOffsets[index];
}

time_t localTime(mz_uint16 date, int hour, int minute, int second, int nextDays = 0) {
  tm t{};
  t.tm_isdst = -1;
  t.tm_year = 80 + (date >> 9);
  t.tm_mon = ((date >> 5) & 15) - 1;
  t.tm_mday = (date & 31) + nextDays;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return mktime(&t);
}

// What mktime makes of the DOS date and time. Each mktime call looks at the time zone file
// again, so entries of one day share one call when the clock does not change that day.
time_t dosToTime(mz_zip_internal_state* state, mz_uint16 time, mz_uint16 date) {
  const int hour = time >> 11, minute = (time >> 5) & 63, second = (time << 1) & 62;
  if (hour >= 24 || minute >= 60 || second >= 60) return localTime(date, hour, minute, second);
  if (!state->dayKnown || state->day != date) {
    state->dayKnown = true;
    state->day = date;
    state->midnight = localTime(date, 0, 0, 0);
    state->plainDay = localTime(date, 0, 0, 0, 1) - state->midnight == 86400;
  }
  if (!state->plainDay) return localTime(date, hour, minute, second);
  return state->midnight + hour * 3600 + minute * 60 + second;
}

// ---- Extraction ---------------------------------------------------------------

voidpf zlibAlloc(voidpf opaque, uInt items, uInt size) {
  return allocate(static_cast<mz_zip_archive*>(opaque), items, size);
}
void zlibFree(voidpf opaque, voidpf address) {
  release(static_cast<mz_zip_archive*>(opaque), address);
}

// The reader's slice buffer, allocated at its first use.
mz_uint8* sliceOf(mz_zip_archive* zip) {
  mz_zip_internal_state* state = zip->m_pState;
  if (!state->slice) state->slice = static_cast<mz_uint8*>(allocate(zip, 1, SLICE));
  return state->slice;
}

// The reader's inflater, ready for a new raw DEFLATE stream; null when out of memory.
z_stream* freshInflater(mz_zip_archive* zip) {
  mz_zip_internal_state* state = zip->m_pState;
  if (state->inflater) return inflateReset(state->inflater) == Z_OK ? state->inflater : nullptr;
  z_stream* s = static_cast<z_stream*>(allocate(zip, 1, sizeof(z_stream)));
  if (!s) return nullptr;
  memset(s, 0, sizeof *s);
  s->zalloc = zlibAlloc;
  s->zfree = zlibFree;
  s->opaque = zip;
  if (inflateInit2(s, -15) != Z_OK) {
    release(zip, s);
    return nullptr;
  }
  state->inflater = s;
  return s;
}

mz_bool fail(mz_zip_archive* zip, mz_zip_error error) {
  if (zip) zip->m_last_error = error;
  return MZ_FALSE;
}

// Where extracted bytes go: the callback with its context, and how many it has taken.
struct Output {
  mz_file_write_func write;
  void* opaque;
  mz_uint64 written;
  mz_uint32 crc;
};

bool deliver(Output* out, const mz_uint8* data, size_t n) {
  if (n == 0) return true;
  if (out->write(out->opaque, out->written, data, n) != n) return false;
  out->crc = libdeflate_crc32(out->crc, data, n);
  out->written += n;
  return true;
}

// Hands a stored entry's bytes to `out`, a slice at a time, copied: callers never get a
// pointer into the archive, whose pages may vanish with its file.
mz_zip_error copyOut(mz_zip_archive* zip, const mz_uint8* in, mz_uint64 size, Output* out) {
  mz_uint8* buffer = sliceOf(zip);
  if (!buffer) return MZ_ZIP_ALLOC_FAILED;
  for (mz_uint64 done = 0; done < size;) {
    size_t n = size_t(std::min<mz_uint64>(size - done, SLICE));
    memcpy(buffer, in + done, n);
    if (!deliver(out, buffer, n)) return MZ_ZIP_WRITE_CALLBACK_FAILED;
    done += n;
  }
  return MZ_ZIP_NO_ERROR;
}

// Inflates raw DEFLATE data into the slice buffer and hands each filling to `out`. The
// stream must end after exactly `expected` bytes.
mz_zip_error inflateOut(mz_zip_archive* zip, const mz_uint8* in, mz_uint64 inSize,
                        mz_uint64 expected, Output* out) {
  mz_uint8* buffer = sliceOf(zip);
  z_stream* s = buffer ? freshInflater(zip) : nullptr;
  if (!s) return MZ_ZIP_ALLOC_FAILED;
  // Output in fillings no longer than the entry, so that one too long is seen as such
  // once the recorded bytes are out.
  const size_t room = size_t(std::min<mz_uint64>(std::max<mz_uint64>(expected, 1), SLICE));
  s->next_in = const_cast<Bytef*>(in);
  // zlib counts in uInt, so larger inputs are handed over in parts.
  mz_uint64 inLeft = inSize;
  mz_zip_error error = MZ_ZIP_NO_ERROR;
  int rc;
  do {
    if (s->avail_in == 0) {
      s->avail_in = uInt(std::min<mz_uint64>(inLeft, UINT_MAX));
      inLeft -= s->avail_in;
    }
    s->next_out = buffer;
    s->avail_out = uInt(room);
    rc = inflate(s, Z_NO_FLUSH);
    const size_t n = size_t(s->next_out - buffer);
    // More than recorded is refused before it reaches the caller: the recorded bytes go,
    // the rest does not, so the caller can tell too long from too short.
    if (n > expected - out->written) {
      const size_t left = size_t(expected - out->written);
      error = left == 0 || deliver(out, buffer, left) ? MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE
                                                      : MZ_ZIP_WRITE_CALLBACK_FAILED;
    } else if (!deliver(out, buffer, n)) {
      error = MZ_ZIP_WRITE_CALLBACK_FAILED;
    }
  } while (rc == Z_OK && error == MZ_ZIP_NO_ERROR);
  if (error != MZ_ZIP_NO_ERROR) return error;
  if (rc == Z_STREAM_END) {
    return out->written == expected ? MZ_ZIP_NO_ERROR : MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE;
  }
  // Z_BUF_ERROR: the data ran out before the stream ended.
  return rc == Z_BUF_ERROR ? MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE : MZ_ZIP_DECOMPRESSION_FAILED;
}

// The entry's compressed bytes, after checking its local header; null when broken.
// The local header's sizes, ZIP64 or not, are not read: the central directory's count.
const mz_uint8* entryData(mz_zip_archive* zip, mz_uint64 localOfs, mz_uint64 compSize) {
  const mz_uint8* local = zip->m_pState->mem + localOfs;
  if (le32(local) != LOCAL_SIG) return nullptr;
  mz_uint64 dataOfs = localOfs + LOCAL_SIZE + le16(local + L_NAME_LEN) + le16(local + L_EXTRA_LEN);
  if (!fits(dataOfs, compSize, zip->m_archive_size)) return nullptr;
  return zip->m_pState->mem + dataOfs;
}

// Extracts entry `index` to `out`, checking its size and CRC-32; sets m_last_error.
mz_bool extractTo(mz_zip_archive* zip, mz_uint index, mz_uint flags, Output* out) {
  const mz_uint8* p = centralHeader(zip, index);
  EntryFields f;
  if (!p || !readEntryFields(p, &f)) return fail(zip, MZ_ZIP_INVALID_PARAMETER);
  // Handing out the raw compressed bytes is not offered.
  if (flags & MZ_ZIP_FLAG_COMPRESSED_DATA) return fail(zip, MZ_ZIP_INVALID_PARAMETER);
  // Empty files and directories; the archive was refused at init if uncomp > 0.
  if (f.comp == 0) return MZ_TRUE;
  // Anything with data is extracted and checked, directory or not, so no caller ever
  // receives bytes the archive does not define.
  const mz_uint16 method = le16(p + C_METHOD);
  if (le16(p + C_FLAGS) & 1) return fail(zip, MZ_ZIP_UNSUPPORTED_ENCRYPTION);
  if (method != 0 && method != 8) return fail(zip, MZ_ZIP_UNSUPPORTED_METHOD);
  if (!plausibleEntrySize(method, f.comp, f.uncomp)) {
    return fail(zip, MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE);
  }
  const mz_uint8* data = entryData(zip, f.localOfs, f.comp);
  if (!data) return fail(zip, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED);
  out->crc = 0;
  out->written = 0;
  mz_zip_error error =
      method == 0 ? copyOut(zip, data, f.uncomp, out) : inflateOut(zip, data, f.comp, f.uncomp, out);
  if (error != MZ_ZIP_NO_ERROR) return fail(zip, error);
  if (out->crc != le32(p + C_CRC)) return fail(zip, MZ_ZIP_CRC_CHECK_FAILED);
  return MZ_TRUE;
}

// The output of an extraction to memory: `n` bytes at `offset` of the caller's buffer.
size_t copyToBuffer(void* opaque, mz_uint64 offset, const void* data, size_t n) {
  memcpy(static_cast<mz_uint8*>(opaque) + offset, data, n);
  return n;
}

// The reader's whole-entry inflater, allocated at its first use.
libdeflate_decompressor* decompressorOf(mz_zip_archive* zip) {
  mz_zip_internal_state* state = zip->m_pState;
  if (!state->decompressor) state->decompressor = libdeflate_alloc_decompressor();
  return state->decompressor;
}

// Inflates a whole deflated entry into `buffer` in one call, checking its size and CRC-32;
// false when the data is not exactly that.
bool inflateWhole(mz_zip_archive* zip, mz_uint index, void* buffer) {
  const mz_uint8* p = centralHeader(zip, index);
  EntryFields f;
  if (!p || !readEntryFields(p, &f) || le16(p + C_METHOD) != 8 || (le16(p + C_FLAGS) & 1) ||
      !plausibleEntrySize(8, f.comp, f.uncomp))
    return false;
  const mz_uint8* data = entryData(zip, f.localOfs, f.comp);
  libdeflate_decompressor* decompressor = data ? decompressorOf(zip) : nullptr;
  // Without an actual size to report, anything but exactly f.uncomp bytes fails.
  return decompressor &&
         libdeflate_deflate_decompress(decompressor, data, size_t(f.comp), buffer,
                                       size_t(f.uncomp), nullptr) == LIBDEFLATE_SUCCESS &&
         libdeflate_crc32(0, buffer, size_t(f.uncomp)) == le32(p + C_CRC);
}

}  // namespace

// ---- Reader -------------------------------------------------------------------

mz_bool mz_zip_reader_init_mem(mz_zip_archive* pZip, const void* pMem, size_t size,
                               mz_uint32 flags) {
  // MZ_ZIP_FLAG_DO_NOT_SORT_CENTRAL_DIRECTORY only saves time: lookups give the same
  // answers either way, slower without the name index.
  if (!pMem && size > 0) return MZ_FALSE;
  if (!beginState(pZip)) return MZ_FALSE;
  pZip->m_zip_mode = MZ_ZIP_MODE_READING;
  pZip->m_archive_size = size;
  pZip->m_pState->mem = static_cast<const mz_uint8*>(pMem);
  EndRecord end;
  const bool sorted = !(flags & MZ_ZIP_FLAG_DO_NOT_SORT_CENTRAL_DIRECTORY);
  if (!readEndRecord(pZip->m_pState->mem, size, &end) ||
      !readCentralDirectory(pZip, end, sorted)) {
    mz_zip_reader_end(pZip);
    return MZ_FALSE;
  }
  return MZ_TRUE;
}

mz_bool mz_zip_reader_file_stat(mz_zip_archive* pZip, mz_uint file_index,
                                mz_zip_archive_file_stat* pStat) {
  const mz_uint8* p = centralHeader(pZip, file_index);
  EntryFields f;
  if (!p || !pStat || !readEntryFields(p, &f)) return MZ_FALSE;
  pStat->m_file_index = file_index;
  pStat->m_central_dir_ofs = mz_uint32(p - pZip->m_pState->mem);
  pStat->m_version_made_by = le16(p + C_MADE_BY);
  pStat->m_version_needed = le16(p + C_NEEDED);
  pStat->m_bit_flag = le16(p + C_FLAGS);
  pStat->m_method = le16(p + C_METHOD);
  pStat->m_time = dosToTime(pZip->m_pState, le16(p + C_TIME), le16(p + C_DATE));
  pStat->m_crc32 = le32(p + C_CRC);
  pStat->m_comp_size = f.comp;
  pStat->m_uncomp_size = f.uncomp;
  pStat->m_internal_attr = le16(p + C_INTERNAL);
  pStat->m_external_attr = le32(p + C_EXTERNAL);
  pStat->m_local_header_ofs = f.localOfs;
  // Both fit whole with their terminating zero: the fields are at most 65,535 bytes.
  std::string_view name = nameAt(p);
  memcpy(pStat->m_filename, name.data(), name.size());
  pStat->m_filename[name.size()] = '\0';
  mz_uint16 commentSize = le16(p + C_COMMENT_LEN);
  memcpy(pStat->m_comment, name.data() + name.size() + le16(p + C_EXTRA_LEN), commentSize);
  pStat->m_comment[commentSize] = '\0';
  pStat->m_comment_size = commentSize;
  return MZ_TRUE;
}

int mz_zip_reader_locate_file(mz_zip_archive* pZip, const char* pName, const char* pComment,
                              mz_uint flags) {
  // Only whole-name lookups are offered: a comment to match, MZ_ZIP_FLAG_IGNORE_PATH and
  // the other flags find nothing.
  if (!pZip || !pZip->m_pState || pZip->m_zip_mode != MZ_ZIP_MODE_READING) return -1;
  if (!pName || pComment || (flags & ~mz_uint(MZ_ZIP_FLAG_CASE_SENSITIVE)) != 0) return -1;
  const mz_zip_internal_state* state = pZip->m_pState;
  std::string_view wanted = pName;
  if (!state->sortedIndex) {
    // Unsorted: in directory order, the first exact spelling, else the first case-blind one.
    int blind = -1;
    for (mz_uint i = 0; i < pZip->m_total_files; ++i) {
      std::string_view name = entryName(state, i);
      if (name == wanted) return int(i);
      if (blind < 0 && compareFolded(name, wanted) == 0) blind = int(i);
    }
    return flags & MZ_ZIP_FLAG_CASE_SENSITIVE ? -1 : blind;
  }
  const mz_uint32* sorted = state->sortedIndex;
  const mz_uint32* sortedEnd = sorted + pZip->m_total_files;
  const mz_uint32* first =
      std::lower_bound(sorted, sortedEnd, wanted, [state](mz_uint32 i, std::string_view n) {
        return compareFolded(entryName(state, i), n) < 0;
      });
  // Among the case-blind matches the exact spelling wins.
  for (const mz_uint32* it = first; it != sortedEnd; ++it) {
    std::string_view name = entryName(state, *it);
    if (compareFolded(name, wanted) != 0) break;
    if (name == wanted) return int(*it);
  }
  if (flags & MZ_ZIP_FLAG_CASE_SENSITIVE) return -1;
  if (first != sortedEnd && compareFolded(entryName(state, *first), wanted) == 0)
    return int(*first);
  return -1;
}

mz_bool mz_zip_reader_extract_to_callback(mz_zip_archive* pZip, mz_uint file_index,
                                          mz_file_write_func pCallback, void* pOpaque,
                                          mz_uint flags) {
  if (!pCallback) return fail(pZip, MZ_ZIP_INVALID_PARAMETER);
  Output out{pCallback, pOpaque, 0, 0};
  return extractTo(pZip, file_index, flags, &out);
}

mz_bool mz_zip_reader_extract_to_mem(mz_zip_archive* pZip, mz_uint file_index, void* pBuf,
                                     size_t buf_size, mz_uint flags) {
  const mz_uint8* p = centralHeader(pZip, file_index);
  EntryFields f;
  if (!p || !readEntryFields(p, &f)) return fail(pZip, MZ_ZIP_INVALID_PARAMETER);
  if (buf_size < f.uncomp || (!pBuf && buf_size > 0)) return fail(pZip, MZ_ZIP_BUF_TOO_SMALL);
  // Whole deflated entries take the fast inflater; whatever it refuses, and stored entries,
  // go the way of extract_to_callback, whose results and reasons are the ones reported.
  if (f.comp > 0 && !(flags & MZ_ZIP_FLAG_COMPRESSED_DATA) && inflateWhole(pZip, file_index, pBuf))
    return MZ_TRUE;
  Output out{copyToBuffer, pBuf, 0, 0};
  return extractTo(pZip, file_index, flags, &out);
}

mz_zip_error mz_zip_get_last_error(mz_zip_archive* pZip) {
  if (!pZip) return MZ_ZIP_INVALID_PARAMETER;
  mz_zip_error error = pZip->m_last_error;
  pZip->m_last_error = MZ_ZIP_NO_ERROR;
  return error;
}

mz_bool mz_zip_reader_end(mz_zip_archive* pZip) {
  if (!pZip || !pZip->m_pState || pZip->m_zip_mode != MZ_ZIP_MODE_READING) return MZ_FALSE;
  endState(pZip);
  return MZ_TRUE;
}

// ---- Writer -------------------------------------------------------------------

mz_bool mz_zip_writer_init(mz_zip_archive* pZip, mz_uint64 existing_size) {
  // Entries are never added, so writing always starts an archive of its own at offset 0.
  if (!pZip || !pZip->m_pWrite || existing_size != 0) return MZ_FALSE;
  if (!beginState(pZip)) return MZ_FALSE;
  pZip->m_zip_mode = MZ_ZIP_MODE_WRITING;
  return MZ_TRUE;
}

mz_bool mz_zip_writer_finalize_archive(mz_zip_archive* pZip) {
  if (!pZip || !pZip->m_pState || pZip->m_zip_mode != MZ_ZIP_MODE_WRITING) return MZ_FALSE;
  // No entries: the end record alone, with a zero count, size and offset.
  mz_uint8 end[END_SIZE] = {0x50, 0x4B, 0x05, 0x06};
  if (pZip->m_pWrite(pZip->m_pIO_opaque, pZip->m_archive_size, end, sizeof end) != sizeof end)
    return MZ_FALSE;
  pZip->m_archive_size += sizeof end;
  pZip->m_zip_mode = MZ_ZIP_MODE_WRITING_HAS_BEEN_FINALIZED;
  return MZ_TRUE;
}

mz_bool mz_zip_writer_end(mz_zip_archive* pZip) {
  if (!pZip || !pZip->m_pState) return MZ_FALSE;
  if (pZip->m_zip_mode != MZ_ZIP_MODE_WRITING &&
      pZip->m_zip_mode != MZ_ZIP_MODE_WRITING_HAS_BEEN_FINALIZED)
    return MZ_FALSE;
  endState(pZip);
  return MZ_TRUE;
}
