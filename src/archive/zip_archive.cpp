#include "zip_archive.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>

#include "huge_pages.h"
#include "memory_budget.h"
#include "long_entries.h"
#include "read_ahead.h"
#include "zip_format.h"

using namespace zip_format;

namespace {

// A ZIP64 end record without extensible data, then its locator, right before the end record.
const size_t ZIP64_TAIL_SIZE = ZIP64_END_SIZE + ZIP64_LOCATOR_SIZE;
const size_t NOT_FOUND = static_cast<size_t>(-1);
// What may lie between one entry's data and the next: a local header with its name and
// extra field.
const uint64_t RUN_GAP = LOCAL_SIZE + 2 * 65535;

// Position of the last end-record signature in `data`, or NOT_FOUND.
size_t findEndRecord(const std::vector<char>& data) {
  const size_t p = zip_format::findEndRecord(data.data(), data.size());
  return p == data.size() ? NOT_FOUND : p;
}

// A record cut short by the end of the data cannot be read.
void requireWholeRecord(const std::vector<char>& data, size_t at) {
  if (data.size() - at < END_SIZE) throw std::runtime_error("bad zip");
}

// Everything from the stream's position to its end, in one read. Nothing when the
// stream cannot tell its position (a failed seek leaves it so).
std::vector<char> readToEnd(std::istream& in) {
  std::vector<char> data;
  const std::streampos start = in.tellg();
  if (start == std::streampos(-1)) return data;
  in.seekg(0, std::ios::end);
  const std::streampos end = in.tellg();
  in.seekg(start);
  if (end == std::streampos(-1) || end <= start) return data;
  const size_t size = static_cast<size_t>(end - start);
  reserveToHold(data, size);
  adviseHugePages(data.data(), data.capacity());
  // Grown and filled a few MiB at a time, so the zeros the vector writes are still in
  // cache when the read overwrites them.
  const size_t chunk = size_t(4) << 20;
  while (data.size() < size) {
    const size_t at = data.size();
    const size_t n = std::min(chunk, size - at);
    data.resize(at + n);
    in.read(data.data() + at, static_cast<std::streamsize>(n));
    if (static_cast<size_t>(in.gcount()) < n) {
      data.resize(at + static_cast<size_t>(in.gcount()));
      break;
    }
  }
  return data;
}

// How far before the end the archive starts, when the 76 bytes `tail` (a ZIP64 end
// record and its locator) end `recordFromEnd` bytes before it: the ZIP64 record's position
// less the directory's size and offset it gives. Nothing when they are not there or give
// a start no file can have.
std::optional<uint64_t> zip64Start(const char* tail, uint64_t recordFromEnd) {
  if (le32(tail) != ZIP64_END_SIG || le32(tail + ZIP64_END_SIZE) != ZIP64_LOCATOR_SIG)
    return std::nullopt;
  const uint64_t tailFromEnd = recordFromEnd + ZIP64_TAIL_SIZE;
  const uint64_t size = le64(tail + Z_DIR_SIZE), offset = le64(tail + Z_DIR_OFS);
  const uint64_t room = uint64_t(std::numeric_limits<std::streamoff>::max()) - tailFromEnd;
  if (size > room || offset > room - size) return std::nullopt;
  return tailFromEnd + size + offset;
}

// The same from a stream, whose state is kept for the seek that follows.
std::optional<uint64_t> zip64Start(std::istream& in, uint64_t recordFromEnd) {
  std::vector<char> tail(ZIP64_TAIL_SIZE);
  const std::ios::iostate state = in.rdstate();
  in.clear();
  const bool read = in.seekg(-std::streamoff(recordFromEnd + ZIP64_TAIL_SIZE), std::ios::end) &&
                    in.read(tail.data(), std::streamsize(tail.size()));
  in.clear(state);
  if (!read) return std::nullopt;
  return zip64Start(tail.data(), recordFromEnd);
}

// How far before the end the archive starts whose end record lies at `p` in `tail`, the
// last bytes of the file, when there is no ZIP64 record: the directory's end less its
// size and offset.
uint64_t classicStart(const std::vector<char>& tail, size_t p) {
  return uint64_t(tail.size() - p) + le32(tail.data() + p + E_DIR_SIZE) +
         le32(tail.data() + p + E_DIR_OFS);
}

}  // namespace

ZipArchive::ZipArchive() : zip(std::make_unique<mz_zip_archive>()) { reset(); }

ZipArchive::~ZipArchive() {
  try {
    endCurrentMode();
  } catch (const std::runtime_error&) {
    // The library keeps what it could not end; nothing more can be done here.
  }
}

void ZipArchive::endCurrentMode() {
  // The helpers read the bytes held: they stop first.
  ahead.reset();
  aside.reset();
  switch (zip->m_zip_mode) {
    case MZ_ZIP_MODE_WRITING:
      mz_zip_writer_finalize_archive(zip.get());
      mz_zip_writer_end(zip.get());
      break;
    case MZ_ZIP_MODE_WRITING_HAS_BEEN_FINALIZED:
      mz_zip_writer_end(zip.get());
      break;
    case MZ_ZIP_MODE_READING:
      mz_zip_reader_end(zip.get());
      break;
    case MZ_ZIP_MODE_INVALID:
      break;
  }
  if (zip->m_zip_mode != MZ_ZIP_MODE_INVALID) throw std::runtime_error("");
}

void ZipArchive::reset() {
  endCurrentMode();
  bytes = std::vector<char>();  // releases a large archive's storage too
  mapping = MappedFile();
  fileName.clear();
  runBegin = runEnd = releasedTo = 0;
  archiveComment.clear();
  zip->m_pWrite = &ZipArchive::writeToBytes;
  zip->m_pIO_opaque = &bytes;
  if (!mz_zip_writer_init(zip.get(), 0)) throw std::runtime_error("bad zip");
  mz_zip_writer_finalize_archive(zip.get());
  mz_zip_writer_end(zip.get());
  view = std::string_view(bytes.data(), bytes.size());
}

size_t ZipArchive::writeToBytes(void* opaque, mz_uint64 offset, const void* data, size_t n) {
  auto* out = static_cast<std::vector<char>*>(opaque);
  if (offset + n > out->size()) out->resize(offset + n);
  if (n > 0) std::memcpy(out->data() + offset, data, n);
  return n;
}

bool ZipArchive::loadFile(const std::string& path, const std::string& shownName) {
  const std::string name = shownName.empty() ? path : shownName;
  MappedFile file;
  switch (file.open(path)) {
    case MappedFile::Opened::NotOpened:
      return false;
    case MappedFile::Opened::Mapped:
      return loadMapped(std::move(file), name);
    case MappedFile::Opened::NotMapped:
      break;
  }
  // A pipe, a device, or a file system that cannot map: read it as before.
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.good()) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size > std::streamoff(END_WINDOW)) in.seekg(-std::streamoff(END_WINDOW), std::ios::end);
  const bool loaded = loadStream(in);
  if (loaded) fileName = name;
  return loaded;
}

bool ZipArchive::loadMapped(MappedFile file, const std::string& name) {
  const char* base = file.data();
  const uint64_t size = file.size();
  std::vector<char> tail(size_t(std::min<uint64_t>(size, END_WINDOW)));
  std::vector<char> zip64(ZIP64_TAIL_SIZE);
  bool whole = guarded(base, size, [&] { memcpy(tail.data(), base + size - tail.size(), tail.size()); });
  if (!whole) throw std::runtime_error(name + ": the installer file changed while it was running");
  if (tail.size() <= 4) return false;  // not even a signature
  const size_t p = findEndRecord(tail);
  if (p == NOT_FOUND) return false;
  requireWholeRecord(tail, p);

  const uint64_t fromEnd = tail.size() - p;
  std::optional<uint64_t> back;
  if (size >= fromEnd + ZIP64_TAIL_SIZE) {
    const char* at = base + size - fromEnd - ZIP64_TAIL_SIZE;
    whole = guarded(base, size, [&] { memcpy(zip64.data(), at, zip64.size()); });
    if (!whole) throw std::runtime_error(name + ": the installer file changed while it was running");
    back = zip64Start(zip64.data(), fromEnd);
  }
  const uint64_t start = back.value_or(classicStart(tail, p));

  reset();
  fileName = name;
  // A start before the file's first byte leaves nothing to read: the reader refuses it.
  if (start <= size) {
    mapping = std::move(file);
    view = std::string_view(base + size - start, size_t(start));
    cutComment(size_t(fromEnd));
  } else {
    view = std::string_view();
  }
  beginReading();
  return true;
}

bool ZipArchive::loadStream(std::istream& in) {
  const std::vector<char> tail = readToEnd(in);
  if (tail.size() <= 4) return false;  // not even a signature
  const size_t p = findEndRecord(tail);
  if (p == NOT_FOUND) return false;
  requireWholeRecord(tail, p);

  // The archive starts where its central directory's offset counts from: the directory's
  // end less its size and offset. The directory ends at the record, or at the ZIP64 end
  // record before it, which then holds the size and offset. Python writes one for more
  // than 65,535 entries with the record's size and offset still exact.
  const uint64_t fromEnd = tail.size() - p;
  const uint64_t back = zip64Start(in, fromEnd).value_or(classicStart(tail, p));
  if (back > uint64_t(std::numeric_limits<std::streamoff>::max())) in.setstate(std::ios::failbit);
  in.seekg(-std::streamoff(back), std::ios::end);

  reset();
  bytes = readToEnd(in);
  view = std::string_view(bytes.data(), bytes.size());
  if (!bytes.empty()) cutComment(size_t(fromEnd));
  beginReading();
  return true;
}

void ZipArchive::cutComment(size_t recordFromEnd) {
  // The record stands where the first read found it, unless the file changed meanwhile.
  const size_t n = view.size();
  const size_t at = n >= recordFromEnd ? n - recordFromEnd : NOT_FOUND;
  std::vector<char> record(END_SIZE);
  if (at != NOT_FOUND && n - at >= END_SIZE)
    readHeld([&] { memcpy(record.data(), view.data() + at, END_SIZE); });
  if (at == NOT_FOUND || le32(record.data()) != END_SIG)
    throw std::runtime_error("didn't find end of central directory signature");
  if (n - at < END_SIZE) throw std::runtime_error("bad zip");
  const size_t length = le16(record.data() + E_COMMENT_LEN);
  if (length == 0) return;
  if (n - at - END_SIZE < length) throw std::runtime_error("bad zip");

  // The reader gets the archive up to the end of its record: it never looks at the
  // comment length, so the record need not change.
  archiveComment.resize(length);
  readHeld([&] { memcpy(&archiveComment[0], view.data() + at + END_SIZE, length); });
  view = view.substr(0, n - length);
}

std::runtime_error ZipArchive::changedFile() const {
  return std::runtime_error(fileName + ": the installer file changed while it was running");
}

void ZipArchive::beginReading() {
  if (zip->m_zip_mode == MZ_ZIP_MODE_READING) return;
  if (zip->m_zip_mode == MZ_ZIP_MODE_WRITING) {
    mz_zip_writer_finalize_archive(zip.get());
    if (zip->m_zip_mode == MZ_ZIP_MODE_WRITING_HAS_BEEN_FINALIZED) mz_zip_writer_end(zip.get());
  } else if (zip->m_zip_mode == MZ_ZIP_MODE_WRITING_HAS_BEEN_FINALIZED) {
    mz_zip_writer_end(zip.get());
  }
  if (zip->m_zip_mode != MZ_ZIP_MODE_INVALID || zip->m_pState != nullptr) {
    throw std::runtime_error("bad zip");
  }
  bool initialised = false;
  try {
    // Entries are extracted by index; a name is looked up rarely (entryInfo), by a walk
    // through the directory: sorting thousands of case-folded names for it cost more than
    // listing them.
    readHeld([&] {
      initialised = mz_zip_reader_init_mem(zip.get(), view.data(), view.size(),
                                           MZ_ZIP_FLAG_DO_NOT_SORT_CENTRAL_DIRECTORY);
    });
    if (!initialised) throw std::runtime_error("bad zip");
  } catch (...) {
    if (zip->m_zip_mode == MZ_ZIP_MODE_READING) mz_zip_reader_end(zip.get());
    throw;
  }
  checkEntriesApart();
}

void ZipArchive::checkEntriesApart() {
  struct Span {
    uint64_t begin, end;
    uint64_t index;
  };
  std::vector<Span> spans;
  try {
    spans.reserve(entryCount());
    for (uint64_t i = 0; i < entryCount(); ++i) {
      const ZipEntryInfo info = record(i, true);
      // A local header the reader cannot use is refused when that entry is extracted.
      uint32_t headerTail = 0;
      if (info.localHeaderOffset + LOCAL_SIZE <= view.size()) {
        readHeld([&] {
          const char* local = view.data() + info.localHeaderOffset;
          headerTail = le16(local + L_NAME_LEN) + uint32_t(le16(local + L_EXTRA_LEN));
        });
      }
      const uint64_t end = info.localHeaderOffset + LOCAL_SIZE + headerTail + info.compressedSize;
      spans.push_back({info.localHeaderOffset, end, i});
    }
  } catch (...) {
    mz_zip_reader_end(zip.get());
    throw;
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.index < b.index;
  });
  for (size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].begin < spans[i - 1].end) {
      const uint64_t a = std::min(spans[i - 1].index, spans[i].index);
      const uint64_t b = std::max(spans[i - 1].index, spans[i].index);
      // Nothing more is read: the mode is left as it would be after any refusal.
      const std::string message =
          "overlapping entries: " + record(b).name + " shares its data with " + record(a).name;
      mz_zip_reader_end(zip.get());
      throw std::runtime_error(message);
    }
  }
}

std::string ZipArchive::comment() const { return archiveComment; }

void ZipArchive::releaseBehind(uint64_t begin, uint64_t end) {
  if (!mapped() || end <= begin) return;
  // Entries stored one after another (up to their headers' names and extras) make one
  // run; elsewhere a new run begins.
  if (begin < runBegin || begin > runEnd + RUN_GAP) runBegin = releasedTo = runEnd = begin;
  runEnd = std::max(runEnd, end);
  if (runEnd < releasedTo + MappedFile::RELEASE_STEP) return;
  const uint64_t offset = uint64_t(view.data() - mapping.data());
  mapping.release(offset + releasedTo, offset + runEnd);
  releasedTo = runEnd;
}
