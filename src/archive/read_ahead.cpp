#include "read_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "bus_guard.h"

namespace {

// Rooms of 1 MiB, the most any piece holds, six for each helper: a helper holds the whole
// of its next entry (long ones, from ZipArchive::LONG_ENTRY on, go elsewhere) while the
// other's is taken.
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
  Lane(const char* held, size_t heldSize, uint64_t first, uint64_t stride,
       const char* guardBegin, size_t guardSize,
       const std::function<bool(uint64_t, uint64_t)>& passed);
  ~Lane();
  Piece next();
  void done();

 private:
  void run();
  // The reader's write callback: copies the bytes into the lane's rooms, waiting for one
  // when all are full; 0 when the lane is cancelled.
  static size_t fill(void* self, mz_uint64 offset, const void* data, size_t n);
  // Extracts a small entry whole into a room and hands it over: one inflater call, no copy.
  // One that fails there goes the way of the others, so that the bytes handed over before
  // its end, and the reason, are theirs.
  bool extractWhole(size_t size);
  // Hands over `size` bytes written at `to`, in the current room.
  bool handOver(const mz_uint8* to, size_t size);
  mz_uint8* room(size_t* size);
  bool push(const Piece& piece, std::unique_lock<std::mutex>& lock);
  void wakeTaker(bool always);

  // The lane's own reader: the caller's is used on its thread meanwhile, and the
  // reader keeps its inflater and last error in its state.
  mz_zip_archive zip{};
  const char* held;
  size_t heldSize;
  uint64_t stride;
  const char* guardBegin;
  size_t guardSize;
  const std::function<bool(uint64_t, uint64_t)>& passed;

  std::mutex mutex;
  std::condition_variable piecesReady, roomFreed;
  std::vector<Piece> ring;  // pieces handed over and not yet taken
  size_t head = 0, count = 0;
  std::unique_ptr<char[]> storage;  // the rooms
  struct Room {
    size_t pieces = 0;  // not yet taken
    bool filling = false;
  };
  std::vector<Room> rooms;
  size_t queuedBytes = 0;
  bool takerWaiting = false, helperWaiting = false, cancelled = false, finished = false;

  // The helper's own.
  std::unique_ptr<mz_zip_archive_file_stat> stat{new mz_zip_archive_file_stat};
  uint64_t entry = 0;
  int chunk = -1;
  size_t used = 0;
  bool stopped = false;  // no more rooms: cancelled
  std::thread helper;
};

ReadAhead::ReadAhead(const char* held, size_t heldSize, uint64_t first, const char* guardBegin,
                     size_t guardSize, std::function<bool(uint64_t, uint64_t)> passedOver)
    : passed(std::move(passedOver)), first(first), expected(first) {
  lanes[0] = std::make_unique<Lane>(held, heldSize, first, 2, guardBegin, guardSize, passed);
  lanes[1] = std::make_unique<Lane>(held, heldSize, first + 1, 2, guardBegin, guardSize, passed);
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

ReadAhead::Lane::Lane(const char* held, size_t heldSize, uint64_t first, uint64_t stride,
                      const char* guardBegin, size_t guardSize,
                      const std::function<bool(uint64_t, uint64_t)>& passed)
    : held(held), heldSize(heldSize), stride(stride), guardBegin(guardBegin),
      guardSize(guardSize), passed(passed), ring(MAX_PIECES),
      storage(new char[CHUNKS * CHUNK]), rooms(CHUNKS), entry(first) {
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
  std::unique_lock<std::mutex> lock(mutex);
  if (chunk >= 0 && CHUNK - used < MIN_ROOM) {
    rooms[size_t(chunk)].filling = false;
    chunk = -1;
  }
  while (chunk < 0) {
    if (cancelled) {
      stopped = true;
      return nullptr;
    }
    for (int i = 0; i < CHUNKS && chunk < 0; ++i)
      if (rooms[size_t(i)].pieces == 0 && !rooms[size_t(i)].filling) chunk = i;
    if (chunk >= 0) {
      rooms[size_t(chunk)].filling = true;
      used = 0;
      break;
    }
    // Waiting for a room: what is ready goes to the taker meanwhile.
    wakeTaker(true);
    helperWaiting = true;
    roomFreed.wait(lock);
    helperWaiting = false;
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
  if (piece.size > 0) ++rooms[size_t(piece.chunk)].pieces;
  wakeTaker(false);
  return true;
}

bool ReadAhead::Lane::handOver(const mz_uint8* to, size_t size) {
  Piece piece;
  piece.entry = entry;
  piece.data = reinterpret_cast<const char*>(to);
  piece.size = size;
  piece.chunk = chunk;
  std::unique_lock<std::mutex> lock(mutex);
  if (!push(piece, lock)) return false;
  used += size;
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
    size = std::min(size, left);
    memcpy(to, from, size);
    if (!lane->handOver(to, size)) return 0;
    from += size;
    left -= size;
  }
  return n;
}

bool ReadAhead::Lane::extractWhole(size_t size) {
  // A room always has MIN_ROOM free: the entry fits in one piece. Runs under the
  // mapping's guard; only the inflater reads mapped bytes.
  mz_uint8* to = nullptr;
  {
    GuardPause pause;
    size_t free = 0;
    to = room(&free);
  }
  if (!to) return false;
  if (!mz_zip_reader_extract_to_mem(&zip, mz_uint(entry), to, size, 0))
    return mz_zip_reader_extract_to_callback(&zip, mz_uint(entry), fill, this, 0) != MZ_FALSE;
  GuardPause pause;
  return handOver(to, size);
}

void ReadAhead::Lane::run() {
  // The central directory is read from the mapping too: a file cut short fails the
  // lane's first entry.
  bool open = false;
  // Entries are taken by index only: no name index to sort.
  auto begin = [&] {
    open = mz_zip_reader_init_mem(&zip, held, heldSize,
                                  MZ_ZIP_FLAG_DO_NOT_SORT_CENTRAL_DIRECTORY) != MZ_FALSE;
  };
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
    bool stated = false;
    auto readStat = [&] {
      stated = mz_zip_reader_file_stat(&zip, mz_uint(entry), stat.get()) != MZ_FALSE;
    };
    end.changed = !guarded(guardBegin, guardSize, readStat);
    if (stated && passed(stat->m_comp_size, stat->m_uncomp_size)) {
      std::unique_lock<std::mutex> lock(mutex);
      if (stopped || cancelled || !push(end, lock)) break;
      continue;
    }
    // Small entries (most of a tree of many files) are inflated in one call into a room;
    // larger ones as their bytes come.
    bool done = false;
    auto extract = [&] {
      const bool small = stated && stat->m_uncomp_size > 0 && stat->m_uncomp_size <= MIN_ROOM;
      done = small ? extractWhole(size_t(stat->m_uncomp_size))
                   : mz_zip_reader_extract_to_callback(&zip, mz_uint(entry), fill, this, 0) != MZ_FALSE;
    };
    if (!end.changed) end.changed = !guarded(guardBegin, guardSize, extract);
    if (!done) end.error = mz_zip_get_last_error(&zip);
    std::unique_lock<std::mutex> lock(mutex);
    if (stopped || cancelled || !push(end, lock)) break;
  }
  if (open) mz_zip_reader_end(&zip);
  std::lock_guard<std::mutex> lock(mutex);
  finished = true;
  if (chunk >= 0) rooms[size_t(chunk)].filling = false;
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
  bool roomWasFreed = false;
  if (piece.size > 0) {
    queuedBytes -= piece.size;
    Room& room = rooms[size_t(piece.chunk)];
    roomWasFreed = --room.pieces == 0 && !room.filling;
  }
  head = (head + 1) % ring.size();
  --count;
  if ((ringWasFull || roomWasFreed) && helperWaiting) roomFreed.notify_one();
}
