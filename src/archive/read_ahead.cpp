#include "read_ahead.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "bus_guard.h"

namespace {

// Each helper has six rooms of 1 MiB: the most any piece holds, and 6 MiB ahead at most.
const int CHUNKS = 6;
const size_t CHUNK = size_t(1) << 20;
// The rest of a room shorter than this is left unused: pieces stay long.
const size_t MIN_ROOM = size_t(64) << 10;
// Pieces (small entries' ends count) waiting at most; bounds the ring.
const size_t MAX_PIECES = 4096;
// A waiting taker is woken once this much is ready, not for every small entry: one wake
// per entry would cost more than the entry.
const size_t WAKE_BYTES = size_t(256) << 10;
const size_t WAKE_PIECES = 32;

}  // namespace

class ReadAhead::Lane {
 public:
  // Entries first, first + stride, and so on.
  Lane(mz_zip_archive* zip, uint64_t first, uint64_t stride, const char* guardBegin,
       size_t guardSize);
  ~Lane();
  Piece next();
  void done();

 private:
  void run();
  static mz_uint8* roomFor(void* self, size_t* size);
  static mz_bool fill(void* self, const mz_uint8* data, size_t n);
  mz_uint8* room(size_t* size);
  bool push(const Piece& piece, std::unique_lock<std::mutex>& lock);
  int freeChunk() const;
  void wakeTaker(bool always);

  mz_zip_archive* zip;
  uint64_t stride;
  const char* guardBegin;
  size_t guardSize;
  std::unique_ptr<char[]> storage;

  std::mutex mutex;
  std::condition_variable piecesReady, roomFreed;
  std::vector<Piece> ring;  // pieces handed over and not yet taken
  size_t head = 0, count = 0;
  size_t queuedBytes = 0;
  struct Chunk {
    size_t pieces = 0;  // not yet taken
    bool filling = false;
  };
  std::vector<Chunk> chunks;
  bool takerWaiting = false, helperWaiting = false, cancelled = false, finished = false;

  // The helper's own.
  uint64_t entry = 0;
  int chunk = -1;
  size_t used = 0;
  std::thread helper;
};

ReadAhead::ReadAhead(mz_zip_archive* zip, uint64_t first, const char* guardBegin, size_t guardSize)
    : first(first), expected(first) {
  lanes[0] = std::make_unique<Lane>(zip, first, 2, guardBegin, guardSize);
  lanes[1] = std::make_unique<Lane>(zip, first + 1, 2, guardBegin, guardSize);
}

ReadAhead::~ReadAhead() = default;

ReadAhead::Piece ReadAhead::next() {
  Piece piece = lanes[(expected - first) % 2]->next();
  // Past the last entry nothing more comes.
  if (piece.last && piece.error == MZ_ZIP_INVALID_PARAMETER) piece.entry = expected;
  return piece;
}

void ReadAhead::done() {
  Lane& lane = *lanes[(expected - first) % 2];
  const Piece piece = lane.next();
  lane.done();
  if (piece.last) ++expected;
}

ReadAhead::Lane::Lane(mz_zip_archive* zip, uint64_t first, uint64_t stride,
                      const char* guardBegin, size_t guardSize)
    : zip(zip), stride(stride), guardBegin(guardBegin), guardSize(guardSize),
      storage(new char[CHUNKS * CHUNK]), ring(MAX_PIECES), chunks(CHUNKS), entry(first) {
  helper = std::thread([this] { run(); });
}

ReadAhead::Lane::~Lane() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    cancelled = true;
  }
  roomFreed.notify_all();
  helper.join();
}

int ReadAhead::Lane::freeChunk() const {
  for (int i = 0; i < CHUNKS; ++i)
    if (!chunks[size_t(i)].filling && chunks[size_t(i)].pieces == 0) return i;
  return -1;
}

void ReadAhead::Lane::wakeTaker(bool always) {
  if (takerWaiting && (always || finished || queuedBytes >= WAKE_BYTES || count >= WAKE_PIECES))
    piecesReady.notify_one();
}

mz_uint8* ReadAhead::Lane::room(size_t* size) {
  // Runs inside the reader, under the mapping's guard: a lock must never be left by a
  // jump, and nothing here reads mapped bytes.
  GuardPause pause;
  std::unique_lock<std::mutex> lock(mutex);
  if (chunk >= 0 && CHUNK - used < MIN_ROOM) {
    chunks[size_t(chunk)].filling = false;
    chunk = -1;
  }
  while (chunk < 0 && !cancelled) {
    chunk = freeChunk();
    if (chunk >= 0) break;
    // Everything is full: what is ready goes to the taker while this side waits.
    wakeTaker(true);
    helperWaiting = true;
    roomFreed.wait(lock);
    helperWaiting = false;
  }
  if (cancelled) return nullptr;
  if (!chunks[size_t(chunk)].filling) {
    chunks[size_t(chunk)].filling = true;
    used = 0;
  }
  *size = CHUNK - used;
  return reinterpret_cast<mz_uint8*>(storage.get() + size_t(chunk) * CHUNK + used);
}

bool ReadAhead::Lane::push(const Piece& piece, std::unique_lock<std::mutex>& lock) {
  while (count == ring.size() && !cancelled) {
    wakeTaker(true);
    helperWaiting = true;
    roomFreed.wait(lock);
    helperWaiting = false;
  }
  if (cancelled) return false;
  ring[(head + count) % ring.size()] = piece;
  ++count;
  queuedBytes += piece.size;
  if (piece.size > 0) ++chunks[size_t(piece.chunk)].pieces;
  wakeTaker(false);
  return true;
}

mz_uint8* ReadAhead::Lane::roomFor(void* self, size_t* size) { return static_cast<Lane*>(self)->room(size); }

mz_bool ReadAhead::Lane::fill(void* self, const mz_uint8* data, size_t n) {
  Lane* ahead = static_cast<Lane*>(self);
  if (n == 0) return MZ_TRUE;
  GuardPause pause;
  std::unique_lock<std::mutex> lock(ahead->mutex);
  Piece piece;
  piece.entry = ahead->entry;
  piece.data = reinterpret_cast<const char*>(data);
  piece.size = n;
  piece.chunk = ahead->chunk;
  if (!ahead->push(piece, lock)) return MZ_FALSE;
  ahead->used += n;
  return MZ_TRUE;
}

void ReadAhead::Lane::run() {
  mz_zip_sink sink{roomFor, fill, this, nullptr};
  for (; entry < zip->m_total_files; entry += stride) {
    Piece end;
    end.entry = entry;
    end.last = true;
    mz_uint32 crc = 0;
    mz_bool applies = MZ_FALSE;
    auto extract = [&] {
      end.error = mz_zip_reader_extract_to_sink(zip, mz_uint(entry), &sink, &crc, &applies);
    };
    if (guardBegin)
      end.changed = !guarded(guardBegin, guardSize, extract);
    else
      extract();
    end.crc = crc;
    end.crcApplies = applies != MZ_FALSE;
    std::unique_lock<std::mutex> lock(mutex);
    if (cancelled || !push(end, lock)) break;
  }
  mz_zip_sink_end(zip, &sink);
  std::lock_guard<std::mutex> lock(mutex);
  finished = true;
  if (chunk >= 0) chunks[size_t(chunk)].filling = false;
  wakeTaker(true);
}

ReadAhead::Piece ReadAhead::Lane::next() {
  std::unique_lock<std::mutex> lock(mutex);
  if (count == 0 && !finished) {
    takerWaiting = true;
    piecesReady.wait(lock, [this] { return count > 0 || finished; });
    takerWaiting = false;
  }
  if (count == 0) {
    // Past the last entry: nothing more comes.
    Piece none;
    none.last = true;
    none.error = MZ_ZIP_INVALID_PARAMETER;
    return none;
  }
  return ring[head];
}

void ReadAhead::Lane::done() {
  std::unique_lock<std::mutex> lock(mutex);
  if (count == 0) return;
  const Piece& piece = ring[head];
  bool freed = count == ring.size();
  if (piece.size > 0) {
    queuedBytes -= piece.size;
    Chunk& from = chunks[size_t(piece.chunk)];
    freed = --from.pieces == 0 && !from.filling ? true : freed;
  }
  head = (head + 1) % ring.size();
  --count;
  if (freed && helperWaiting) roomFreed.notify_one();
}
