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
#include "zip_format.h"

using namespace zip_format;

namespace {

// A ZIP64 end record without extensible data, then its locator, right before the end record.
const size_t ZIP64_TAIL_SIZE = ZIP64_END_SIZE + ZIP64_LOCATOR_SIZE;
const size_t NOT_FOUND = static_cast<size_t>(-1);
// What the stub needs beside the archive: its code, the toolkit and X client libraries,
// the window, and the extraction's buffers.
const uint64_t RUN_HEADROOM = uint64_t(24) << 20;

// Position of the last end-record signature in `data`, or NOT_FOUND.
size_t findEndRecord(const std::vector<char>& data) {
  if (data.size() < 4) return NOT_FOUND;
  for (size_t p = data.size() - 4 + 1; p-- > 0;) {
    if (le32(data.data() + p) == END_SIG) return p;
  }
  return NOT_FOUND;
}

// A record cut short by the end of the data cannot be read.
void requireWholeRecord(const std::vector<char>& data, size_t at) {
  if (data.size() - at < END_SIZE) throw std::runtime_error("bad zip");
}

std::string mebibytes(uint64_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

// Room for an archive of `size` bytes, refused with both sizes when it would not fit: the
// kernel's OOM killer would otherwise end the run in the middle, without a word.
void reserveArchive(std::vector<char>& data, size_t size) {
  // The end record's search window and other small reads need no look at /proc and /sys.
  const uint64_t available = size < RUN_HEADROOM ? UINT64_MAX : availableMemory();
  const auto refuse = [&] {
    const std::string left =
        available == UINT64_MAX ? "less available" : mebibytes(available) + " available";
    return std::runtime_error("not enough memory to hold the archive: it needs " +
                              mebibytes(size + RUN_HEADROOM) + ", " + left);
  };
  if (available != UINT64_MAX && (available < RUN_HEADROOM || size > available - RUN_HEADROOM))
    throw refuse();
  try {
    data.reserve(size);
  } catch (const std::bad_alloc&) {
    throw refuse();
  }
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
  reserveArchive(data, size);
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

// How far before the end of `in` the archive starts, when a ZIP64 end record and its
// locator end `recordFromEnd` bytes before it: the ZIP64 record's position less the
// directory's size and offset it gives. Nothing when they are not there or give a start
// no stream can have. The stream's state is kept for the seek that follows.
std::optional<std::streamoff> zip64Start(std::istream& in, std::streamoff recordFromEnd) {
  std::vector<char> tail(ZIP64_TAIL_SIZE);
  const std::streamoff tailFromEnd = recordFromEnd + std::streamoff(ZIP64_TAIL_SIZE);
  const std::ios::iostate state = in.rdstate();
  in.clear();
  const bool read = in.seekg(-tailFromEnd, std::ios::end) &&
                    in.read(tail.data(), std::streamsize(tail.size()));
  in.clear(state);
  if (!read || le32(tail.data()) != ZIP64_END_SIG ||
      le32(tail.data() + ZIP64_END_SIZE) != ZIP64_LOCATOR_SIG)
    return std::nullopt;
  const uint64_t size = le64(tail.data() + Z_DIR_SIZE), offset = le64(tail.data() + Z_DIR_OFS);
  const uint64_t room = uint64_t(std::numeric_limits<std::streamoff>::max() - tailFromEnd);
  if (size > room || offset > room - size) return std::nullopt;
  return tailFromEnd + std::streamoff(size + offset);
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
  listed.clear();
  if (zip->m_zip_mode != MZ_ZIP_MODE_INVALID) throw std::runtime_error("");
}

void ZipArchive::reset() {
  endCurrentMode();
  bytes = std::vector<char>();  // releases a large archive's storage too
  archiveComment.clear();
  zip->m_pWrite = &ZipArchive::writeToBytes;
  zip->m_pIO_opaque = &bytes;
  if (!mz_zip_writer_init(zip.get(), 0)) throw std::runtime_error("bad zip");
  mz_zip_writer_finalize_archive(zip.get());
  mz_zip_writer_end(zip.get());
}

size_t ZipArchive::writeToBytes(void* opaque, mz_uint64 offset, const void* data, size_t n) {
  auto* out = static_cast<std::vector<char>*>(opaque);
  if (offset + n > out->size()) out->resize(offset + n);
  if (n > 0) std::memcpy(out->data() + offset, data, n);
  return n;
}

bool ZipArchive::loadFile(const std::string& path) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.good()) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size > std::streamoff(END_WINDOW)) in.seekg(-std::streamoff(END_WINDOW), std::ios::end);
  return loadStream(in);
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
  const std::streamoff fromEnd = static_cast<std::streamoff>(tail.size() - p);
  const std::streamoff back = zip64Start(in, fromEnd).value_or(
      fromEnd + std::streamoff(le32(tail.data() + p + E_DIR_SIZE)) + le32(tail.data() + p + E_DIR_OFS));
  in.seekg(-back, std::ios::end);

  reset();
  bytes = readToEnd(in);
  if (!bytes.empty()) cutComment(size_t(fromEnd));
  beginReading();
  return true;
}

void ZipArchive::cutComment(size_t recordFromEnd) {
  // The record stands where the first read found it, unless the file changed meanwhile.
  const size_t n = bytes.size();
  const size_t at = n >= recordFromEnd ? n - recordFromEnd : NOT_FOUND;
  if (at == NOT_FOUND || le32(bytes.data() + at) != END_SIG)
    throw std::runtime_error("didn't find end of central directory signature");
  requireWholeRecord(bytes, at);
  const size_t length = le16(bytes.data() + at + E_COMMENT_LEN);
  if (length == 0) return;
  if (n - at - END_SIZE < length) throw std::runtime_error("bad zip");

  // The reader gets the archive without its comment: the tail goes and the record's
  // comment length becomes zero.
  archiveComment.assign(bytes.data() + at + END_SIZE, length);
  bytes.resize(n - length);
  bytes[n - length - 2] = 0;
  bytes[n - length - 1] = 0;
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
  if (!mz_zip_reader_init_mem(zip.get(), bytes.data(), bytes.size(), 0)) {
    throw std::runtime_error("bad zip");
  }
  listRecords();
  checkEntriesApart();
}

void ZipArchive::checkEntriesApart() {
  struct Span {
    uint64_t begin, end;
    mz_uint index;
  };
  std::vector<Span> spans;
  spans.reserve(listed.size());
  for (const ZipEntryInfo& info : listed) {
    uint64_t end = info.localHeaderOffset + LOCAL_SIZE;
    // A local header the reader cannot use is refused when that entry is extracted.
    if (end <= bytes.size()) {
      const char* local = bytes.data() + info.localHeaderOffset;
      end += le16(local + L_NAME_LEN) + le16(local + L_EXTRA_LEN) + info.compressedSize;
    }
    spans.push_back({info.localHeaderOffset, end, static_cast<mz_uint>(info.index)});
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.index < b.index;
  });
  for (size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].begin < spans[i - 1].end) {
      const mz_uint a = std::min(spans[i - 1].index, spans[i].index);
      const mz_uint b = std::max(spans[i - 1].index, spans[i].index);
      // Nothing more is read: the mode is left as it would be after any refusal.
      const std::string message =
          "overlapping entries: " + listed[b].name + " shares its data with " + listed[a].name;
      mz_zip_reader_end(zip.get());
      listed.clear();
      throw std::runtime_error(message);
    }
  }
}

std::string ZipArchive::comment() const { return archiveComment; }
