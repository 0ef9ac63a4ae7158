#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "entry_size_limit.h"
#include "long_entries.h"
#include "read_ahead.h"
#include "zip_archive.h"
#include "zip_format.h"

namespace {

using zip_format::LOCAL_SIZE;

size_t deliver(void* opaque, mz_uint64, const void* data, size_t n) {
  Delivery* delivery = static_cast<Delivery*>(opaque);
  // The writer's frames must never be left by a jump; it reads no mapped bytes.
  GuardPause pause;
  try {
    (*delivery->write)(static_cast<const char*>(data), n);
  } catch (...) {
    delivery->failure = std::current_exception();
    return 0;
  }
  delivery->taken += n;
  return n;
}

std::string reasonFor(mz_zip_error error, const ZipEntryInfo& info, uint64_t taken) {
  switch (error) {
    case MZ_ZIP_UNSUPPORTED_ENCRYPTION:
      return "encrypted";
    case MZ_ZIP_UNSUPPORTED_METHOD:
      return "unsupported compression method " + std::to_string(info.method);
    case MZ_ZIP_CRC_CHECK_FAILED:
      return "CRC mismatch";
    case MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE:
      return taken < info.uncompressedSize ? "data shorter than recorded"
                                           : "data longer than recorded";
    case MZ_ZIP_DECOMPRESSION_FAILED:
      return "damaged compressed data";
    case MZ_ZIP_INVALID_HEADER_OR_CORRUPTED:
      return "damaged local header";
    case MZ_ZIP_ALLOC_FAILED:
      return "out of memory";
    default:
      return "no such entry";
  }
}

std::runtime_error unreadable(const std::string& reason) {
  return std::runtime_error("file couldn't be read: " + reason);
}

// Whether a helper thread can inflate ahead: asked once, the answer reads /sys.
bool severalCores() {
  static const bool several = std::thread::hardware_concurrency() > 1;
  return several;
}

}  // namespace

bool ZipArchive::extractAhead(const ZipEntryInfo& info, const ChunkWriter& write) {
  // Entries without data (directories, which the caller does not extract) and long ones
  // are passed over; any other entry the helper is not at starts it again there.
  if (ahead && ahead->nextEntry() < info.index) {
    bool passed = true;
    for (uint64_t i = ahead->nextEntry(); i < info.index && passed; ++i) {
      const ZipEntryInfo skipped = record(i, true);
      passed = skipped.compressedSize == 0 || isLong(skipped);
    }
    while (passed && ahead->nextEntry() < info.index) {
      ahead->next();
      ahead->done();
    }
  }
  if (!ahead || ahead->nextEntry() != info.index) {
    ahead.reset();
    try {
      const auto passed = [](uint64_t compressed, uint64_t uncompressed) {
        return isLong(compressed, uncompressed);
      };
      ahead = std::make_unique<ReadAhead>(view.data(), view.size(), info.index, mapping.data(),
                                          mapping.size(), passed);
    } catch (const std::system_error&) {
      // No thread to be had (a tight ulimit -v, a process limit): one thread does both.
      return false;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  try {
    uint64_t taken = 0;
    ReadAhead::Piece piece;
    while (!(piece = ahead->next()).last) {
      write(piece.data, piece.size);
      taken += piece.size;
      ahead->done();
    }
    ahead->done();
    // After the last entry the helpers, their readers and rooms have nothing left to do.
    if (info.index + 1 == entryCount()) ahead.reset();
    if (piece.changed) throw changedFile();
    if (piece.error != MZ_ZIP_NO_ERROR) throw unreadable(reasonFor(piece.error, info, taken));
  } catch (...) {
    // What went wrong ends the run in most cases: the helper stops rather than wait.
    ahead.reset();
    throw;
  }
  return true;
}

mz_bool ZipArchive::extractInPlace(mz_uint index, Delivery& delivery) {
  mz_bool done = MZ_FALSE;
  readHeld([&] { done = mz_zip_reader_extract_to_callback(zip.get(), index, deliver, &delivery, 0); });
  return done;
}

void ZipArchive::extractEntry(const ZipEntryInfo& info, const ChunkWriter& write) {
  if (zip->m_zip_mode != MZ_ZIP_MODE_READING) beginReading();
  // By index, never by name: entries whose names are the same, or differ only in case,
  // stay distinct.
  if (info.index >= entryCount()) throw unreadable("no such entry");
  // Sizes and method come from the archive as it stands, not from the caller's record.
  const ZipEntryInfo current = record(info.index, true);
  // What lies behind the extraction is given back as it goes.
  const uint64_t begin = current.localHeaderOffset;
  const uint64_t end = begin + LOCAL_SIZE + current.compressedSize;
  uint64_t written = 0;
  const ChunkWriter releasing = [&](const char* data, size_t size) {
    write(data, size);
    written += size;
    const uint64_t behind = readBehind(current.compressedSize, current.uncompressedSize, written);
    if (behind > 0) releaseBehind(begin, begin + behind);
  };
  if (severalCores() && !isLong(current) && extractAhead(current, releasing)) {
    releaseBehind(begin, end);
    return;
  }
  ahead.reset();
  Delivery delivery{&releasing, 0, nullptr};
  if (extractInPlace(static_cast<mz_uint>(current.index), delivery)) {
    releaseBehind(begin, end);
    return;
  }
  const mz_zip_error error = mz_zip_get_last_error(zip.get());
  if (delivery.failure) std::rethrow_exception(delivery.failure);
  throw unreadable(reasonFor(error, current, delivery.taken));
}

bool ZipArchive::extractAside(const ZipEntryInfo& info, const ChunkWriter& write,
                              const WholeWriter* whole) {
  if (zip->m_zip_mode != MZ_ZIP_MODE_READING) beginReading();
  if (info.index >= entryCount() || !severalCores()) return false;
  const ZipEntryInfo current = record(info.index, true);
  if (!isLong(current)) return false;
  if (!aside) {
    try {
      aside = std::make_unique<LongEntries>(view.data(), view.size(), mapping);
    } catch (const std::system_error&) {
      return false;  // no thread to be had: the caller extracts it
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  const uint64_t begin = current.localHeaderOffset;
  const bool inflatedWhole = whole && current.method == MZ_DEFLATED &&
                             current.uncompressedSize <= WHOLE_ENTRY &&
                             current.compressedSize <= WHOLE_COMPRESSED;
  aside->start(current.index, &write, inflatedWhole ? whole : nullptr, begin,
               begin + LOCAL_SIZE + current.compressedSize, current.uncompressedSize);
  return true;
}

std::vector<ZipArchive::AsideEnd> ZipArchive::extractedAside(std::chrono::milliseconds timeout) {
  std::vector<AsideEnd> ends;
  if (!aside) return ends;
  for (const LongEntries::Outcome& outcome : aside->ended(timeout)) {
    std::exception_ptr failure;
    if (outcome.failure)
      failure = outcome.failure;
    else if (outcome.changed)
      failure = std::make_exception_ptr(changedFile());
    else if (outcome.error != MZ_ZIP_NO_ERROR)
      failure = std::make_exception_ptr(
          unreadable(reasonFor(outcome.error, record(outcome.entry, true), outcome.taken)));
    ends.push_back({outcome.entry, failure});
  }
  return ends;
}

uint64_t ZipArchive::writtenAside(uint64_t index) { return aside ? aside->written(index) : 0; }

void ZipArchive::stopAside() { aside.reset(); }

std::string ZipArchive::readEntry(const ZipEntryInfo& info) {
  std::string content;
  if (info.index < entryCount()) {
    const ZipEntryInfo current = record(info.index, true);
    // Only a size its data can produce is worth reserving; the extraction refuses the rest.
    if (plausibleEntrySize(current.method, current.compressedSize, current.uncompressedSize)) {
      try {
        content.reserve(size_t(current.uncompressedSize));
      } catch (const std::bad_alloc&) {
        throw unreadable("out of memory for " + std::to_string(current.uncompressedSize) +
                         " bytes");
      }
    }
  }
  extractEntry(info, [&content](const char* data, size_t size) { content.append(data, size); });
  return content;
}
