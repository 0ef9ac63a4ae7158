#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "entry_size_limit.h"
#include "zip_archive.h"
#include "zip_format.h"

namespace {

using zip_format::LOCAL_SIZE;

// Input within this much of the estimated read position is kept.
const uint64_t RELEASE_MARGIN = uint64_t(4) << 20;

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

// Entries at least this long are inflated on a helper thread while this one writes what is
// ready: the inflating and the kernel's copying into files then take a core each.
const uint64_t AHEAD_MIN = uint64_t(4) << 20;

// Two slices handed from the thread that inflates to the thread that writes.
class SlicePipe {
 public:
  // The inflating side: false once the writing side has given up.
  bool push(const void* data, size_t n) {
    size_t slot;
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [this] { return count < 2 || cancelled; });
      if (cancelled) return false;
      slot = (head + count) % 2;
    }
    // The slot is the inflating side's until it is counted in.
    slots[slot].resize(n);
    if (n > 0) memcpy(slots[slot].data(), data, n);
    std::lock_guard<std::mutex> lock(mutex);
    ++count;
    changed.notify_all();
    return true;
  }
  void finish() {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    changed.notify_all();
  }
  // The writing side: the oldest slice, or null when there is none and no more will come.
  const std::vector<char>* next() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return count > 0 || finished; });
    return count > 0 ? &slots[head] : nullptr;
  }
  void pop() {
    std::lock_guard<std::mutex> lock(mutex);
    head = (head + 1) % 2;
    --count;
    changed.notify_all();
  }
  void cancel() {
    std::lock_guard<std::mutex> lock(mutex);
    cancelled = true;
    changed.notify_all();
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<char> slots[2];
  size_t head = 0, count = 0;
  bool finished = false, cancelled = false;
};

size_t pushSlice(void* opaque, mz_uint64, const void* data, size_t n) {
  // Locks and vectors: never to be left by a jump; no mapped bytes are read here.
  GuardPause pause;
  return static_cast<SlicePipe*>(opaque)->push(data, n) ? n : 0;
}

}  // namespace

mz_bool ZipArchive::extractAhead(mz_uint index, Delivery& delivery) {
  SlicePipe pipe;
  mz_bool done = MZ_FALSE;
  std::exception_ptr failure;
  std::thread inflating;
  try {
    inflating = std::thread([&] {
      try {
        readHeld([&] { done = mz_zip_reader_extract_to_callback(zip.get(), index, pushSlice, &pipe, 0); });
      } catch (...) {
        failure = std::current_exception();
      }
      pipe.finish();
    });
  } catch (const std::system_error&) {
    // No thread to be had (a tight ulimit -v, a process limit): one thread does both.
    return extractInPlace(index, delivery);
  }
  while (const std::vector<char>* slice = pipe.next()) {
    if (deliver(&delivery, 0, slice->data(), slice->size()) != slice->size()) {
      pipe.cancel();
      break;
    }
    pipe.pop();
  }
  inflating.join();
  if (failure && !delivery.failure) std::rethrow_exception(failure);
  return done && !delivery.failure;
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
  const mz_uint index = static_cast<mz_uint>(current.index);
  const bool ahead = current.uncompressedSize >= AHEAD_MIN && std::thread::hardware_concurrency() > 1;
  if (ahead ? extractAhead(index, delivery) : extractInPlace(index, delivery)) {
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
