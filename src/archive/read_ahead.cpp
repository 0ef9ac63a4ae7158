#include "read_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "bus_guard.h"

namespace {

// Rooms of 1 MiB, the most any piece holds, shared by the two helpers: 12 MiB ahead at most.
const int CHUNKS = 12;
const size_t CHUNK = size_t(1) << 20;
// Rooms a helper working beyond the entry being taken leaves free, so that the helper of
// that entry always finds one; that helper, whose bytes go out as they come, holds at most
// CURRENT_MOST, so the other can get far ahead.
const int RESERVE = 3;
const int CURRENT_MOST = 4;
// The rest of a room shorter than this is left unused: pieces stay long.
const size_t MIN_ROOM = size_t(64) << 10;
// Pieces (small entries' ends count) waiting at most; bounds the ring.
const size_t MAX_PIECES = 4096;
// A waiting taker is woken once this much is ready, not for every small entry: one wake
// per entry would cost more than the entry.
const size_t WAKE_BYTES = size_t(256) << 10;
const size_t WAKE_PIECES = 32;

}  // namespace

// The rooms, shared: the helper of the entry being taken may have any free one, the other
// only while RESERVE stay free. One helper then gets far ahead on a long entry while the
// other's few rooms go round under the writing.
class ReadAhead::Pool {
 public:
  Pool() : storage(new char[CHUNKS * CHUNK]), chunks(CHUNKS) {}

  char* at(int chunk) { return storage.get() + size_t(chunk) * CHUNK; }

  // A room to fill with entry `entry`'s bytes, or -1 once cancelled. `beforeWait` runs,
  // with no lock held, each time there is none to be had yet.
  template <typename BeforeWait>
  int take(int lane, uint64_t entry, BeforeWait beforeWait) {
    std::unique_lock<std::mutex> lock(mutex);
    while (!cancelled) {
      int found = -1, free = 0, held = 0;
      for (int i = 0; i < CHUNKS; ++i) {
        const Chunk& c = chunks[size_t(i)];
        if (c.filling || c.pieces > 0) {
          held += c.owner == lane;
          continue;
        }
        if (found < 0) found = i;
        ++free;
      }
      if (found >= 0 && (entry == taking ? held < CURRENT_MOST : free > RESERVE)) {
        chunks[size_t(found)].filling = true;
        chunks[size_t(found)].owner = lane;
        return found;
      }
      const uint64_t seen = generation;
      lock.unlock();
      beforeWait();
      lock.lock();
      changed.wait(lock, [&] { return generation != seen || cancelled; });
    }
    return -1;
  }
  void stopFilling(int chunk) {
    std::lock_guard<std::mutex> lock(mutex);
    chunks[size_t(chunk)].filling = false;
    if (chunks[size_t(chunk)].pieces == 0) bump();
  }
  void added(int chunk) {
    std::lock_guard<std::mutex> lock(mutex);
    ++chunks[size_t(chunk)].pieces;
  }
  void taken(int chunk) {
    std::lock_guard<std::mutex> lock(mutex);
    if (--chunks[size_t(chunk)].pieces == 0 && !chunks[size_t(chunk)].filling) bump();
  }
  // The entry whose bytes are taken now.
  void nowTaking(uint64_t entry) {
    std::lock_guard<std::mutex> lock(mutex);
    taking = entry;
    bump();
  }
  void cancel() {
    std::lock_guard<std::mutex> lock(mutex);
    cancelled = true;
    changed.notify_all();
  }

 private:
  void bump() {
    ++generation;
    changed.notify_all();
  }

  std::unique_ptr<char[]> storage;
  struct Chunk {
    size_t pieces = 0;  // not yet taken
    bool filling = false;
    int owner = -1;  // the lane that fills it
  };
  std::vector<Chunk> chunks;
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t taking = 0, generation = 0;
  bool cancelled = false;
};

class ReadAhead::Lane {
 public:
  // Entries first, first + stride, and so on.
  Lane(Pool& pool, const char* held, size_t heldSize, uint64_t first, uint64_t stride,
       const char* guardBegin, size_t guardSize, const std::function<bool(uint64_t)>& passed);
  ~Lane();
  Piece next();
  void done();

 private:
  void run();
  // The reader's write callback: copies the bytes into rooms, waiting for one when all
  // are full; 0 when the lane is cancelled.
  static size_t fill(void* self, mz_uint64 offset, const void* data, size_t n);
  mz_uint8* room(size_t* size);
  bool push(const Piece& piece, std::unique_lock<std::mutex>& lock);
  void wakeTaker(bool always);

  // The lane's own reader: the caller's is used on its thread meanwhile, and the
  // reader keeps its inflater and last error in its state.
  mz_zip_archive zip{};
  Pool& pool;
  const char* held;
  size_t heldSize;
  uint64_t stride;
  const char* guardBegin;
  size_t guardSize;
  const std::function<bool(uint64_t)>& passed;

  std::mutex mutex;
  std::condition_variable piecesReady, roomFreed;
  std::vector<Piece> ring;  // pieces handed over and not yet taken
  size_t head = 0, count = 0;
  size_t queuedBytes = 0;
  bool takerWaiting = false, helperWaiting = false, cancelled = false, finished = false;

  // The helper's own.
  uint64_t entry = 0;
  int chunk = -1;
  size_t used = 0;
  bool stopped = false;  // no more rooms: cancelled
  std::thread helper;
};

ReadAhead::ReadAhead(const char* held, size_t heldSize, uint64_t first, const char* guardBegin,
                     size_t guardSize, std::function<bool(uint64_t)> passedOver)
    : pool(std::make_unique<Pool>()), passed(std::move(passedOver)), first(first),
      expected(first) {
  pool->nowTaking(first);
  lanes[0] = std::make_unique<Lane>(*pool, held, heldSize, first, 2, guardBegin, guardSize, passed);
  lanes[1] = std::make_unique<Lane>(*pool, held, heldSize, first + 1, 2, guardBegin, guardSize,
                                    passed);
}

ReadAhead::~ReadAhead() {
  // A helper waiting for a room gives up first; then each is stopped and joined.
  pool->cancel();
  lanes[0].reset();
  lanes[1].reset();
}

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
  if (piece.last) pool->nowTaking(++expected);
}

ReadAhead::Lane::Lane(Pool& pool, const char* held, size_t heldSize, uint64_t first,
                      uint64_t stride, const char* guardBegin, size_t guardSize,
                      const std::function<bool(uint64_t)>& passed)
    : pool(pool), held(held), heldSize(heldSize), stride(stride), guardBegin(guardBegin),
      guardSize(guardSize), passed(passed), ring(MAX_PIECES), entry(first) {
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

void ReadAhead::Lane::wakeTaker(bool always) {
  if (takerWaiting && (always || finished || queuedBytes >= WAKE_BYTES || count >= WAKE_PIECES))
    piecesReady.notify_one();
}

mz_uint8* ReadAhead::Lane::room(size_t* size) {
  // Runs inside the reader, under the mapping's guard: a lock must never be left by a
  // jump, and nothing here reads mapped bytes.
  GuardPause pause;
  if (chunk >= 0 && CHUNK - used < MIN_ROOM) {
    pool.stopFilling(chunk);
    chunk = -1;
  }
  if (chunk < 0) {
    // Waiting for a room: what is ready goes to the taker meanwhile.
    chunk = pool.take(int(entry % stride), entry, [this] {
      std::lock_guard<std::mutex> lock(mutex);
      wakeTaker(true);
    });
    if (chunk < 0) {
      stopped = true;
      return nullptr;
    }
    used = 0;
  }
  *size = CHUNK - used;
  return reinterpret_cast<mz_uint8*>(pool.at(chunk) + used);
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
  if (piece.size > 0) pool.added(piece.chunk);
  wakeTaker(false);
  return true;
}

size_t ReadAhead::Lane::fill(void* self, mz_uint64, const void* data, size_t n) {
  Lane* lane = static_cast<Lane*>(self);
  const char* from = static_cast<const char*>(data);
  // Runs inside the reader, under the mapping's guard: nothing here reads mapped bytes.
  GuardPause pause;
  for (size_t left = n; left > 0;) {
    size_t size = 0;
    mz_uint8* to = lane->room(&size);
    if (!to) return 0;
    Piece piece;
    piece.entry = lane->entry;
    piece.data = reinterpret_cast<const char*>(to);
    piece.size = std::min(size, left);
    piece.chunk = lane->chunk;
    memcpy(to, from, piece.size);
    std::unique_lock<std::mutex> lock(lane->mutex);
    if (!lane->push(piece, lock)) return 0;
    lane->used += piece.size;
    from += piece.size;
    left -= piece.size;
  }
  return n;
}

void ReadAhead::Lane::run() {
  // The central directory is read from the mapping too: a file cut short fails the
  // lane's first entry.
  bool open = false;
  auto begin = [&] { open = mz_zip_reader_init_mem(&zip, held, heldSize, 0) != MZ_FALSE; };
  const bool readable = guarded(guardBegin, guardSize, begin);
  if (!open) {
    // Cut short while reading the directory: whatever it had built goes.
    if (zip.m_zip_mode != MZ_ZIP_MODE_INVALID) mz_zip_reader_end(&zip);
    Piece end;
    end.entry = entry;
    end.last = true;
    end.changed = !readable;
    end.error = MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
    std::unique_lock<std::mutex> lock(mutex);
    push(end, lock);
  }
  for (; open && entry < zip.m_total_files; entry += stride) {
    Piece end;
    end.entry = entry;
    end.last = true;
    if (passed(entry)) {
      std::unique_lock<std::mutex> lock(mutex);
      if (stopped || cancelled || !push(end, lock)) break;
      continue;
    }
    bool done = false;
    auto extract = [&] {
      done = mz_zip_reader_extract_to_callback(&zip, mz_uint(entry), fill, this, 0) != MZ_FALSE;
    };
    end.changed = !guarded(guardBegin, guardSize, extract);
    if (!done) end.error = mz_zip_get_last_error(&zip);
    std::unique_lock<std::mutex> lock(mutex);
    if (stopped || cancelled || !push(end, lock)) break;
  }
  if (open) mz_zip_reader_end(&zip);
  std::lock_guard<std::mutex> lock(mutex);
  finished = true;
  if (chunk >= 0) pool.stopFilling(chunk);
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
  const bool ringWasFull = count == ring.size();
  if (piece.size > 0) {
    queuedBytes -= piece.size;
    pool.taken(piece.chunk);
  }
  head = (head + 1) % ring.size();
  --count;
  if (ringWasFull && helperWaiting) roomFreed.notify_one();
}
