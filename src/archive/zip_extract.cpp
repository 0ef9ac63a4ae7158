#include <exception>
#include <new>
#include <stdexcept>

#include "entry_size_limit.h"
#include "zip_archive.h"
#include "zip_format.h"

namespace {

using zip_format::LOCAL_SIZE;

// Input within this much of the estimated read position is kept.
const uint64_t RELEASE_MARGIN = uint64_t(4) << 20;

// The write callback's context: the caller's writer, what it has taken, and what it threw,
// which must not unwind through the reader's inflate state.
struct Delivery {
  const ChunkWriter* write;
  uint64_t taken = 0;
  std::exception_ptr failure;
};

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

}  // namespace

void ZipArchive::extractEntry(const ZipEntryInfo& info, const ChunkWriter& write) {
  if (zip->m_zip_mode != MZ_ZIP_MODE_READING) beginReading();
  // By index, never by name: entries whose names are the same, or differ only in case,
  // stay distinct.
  if (info.index >= listed.size()) throw unreadable("no such entry");
  // Sizes and method come from the archive as it stands, not from the caller's record.
  const ZipEntryInfo& current = listed[info.index];
  // What lies behind the extraction is given back as it goes: the input read so far is
  // taken to be in proportion to the output, less a margin.
  const uint64_t begin = current.localHeaderOffset;
  const uint64_t end = begin + LOCAL_SIZE + current.compressedSize;
  const double ratio = current.uncompressedSize == 0
                           ? 0.0
                           : double(current.compressedSize) / double(current.uncompressedSize);
  uint64_t written = 0;
  const ChunkWriter releasing = [&](const char* data, size_t size) {
    write(data, size);
    written += size;
    const uint64_t read = uint64_t(double(written) * ratio);
    if (read > RELEASE_MARGIN) releaseBehind(begin, begin + read - RELEASE_MARGIN);
  };
  Delivery delivery{&releasing, 0, nullptr};
  mz_bool done = MZ_FALSE;
  readHeld([&] {
    done = mz_zip_reader_extract_to_callback(zip.get(), static_cast<mz_uint>(current.index),
                                             deliver, &delivery, 0);
  });
  if (done) {
    releaseBehind(begin, end);
    return;
  }
  const mz_zip_error error = mz_zip_get_last_error(zip.get());
  if (delivery.failure) std::rethrow_exception(delivery.failure);
  throw unreadable(reasonFor(error, current, delivery.taken));
}

std::string ZipArchive::readEntry(const ZipEntryInfo& info) {
  std::string content;
  if (zip->m_zip_mode == MZ_ZIP_MODE_READING && info.index < listed.size()) {
    const ZipEntryInfo& current = listed[info.index];
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
