#include "long_entries.h"

#include <algorithm>
#include <system_error>

#include "bus_guard.h"

// One helper's own: a reader (its inflater and last error live in the reader's state) and
// the entry it is on.
class LongEntries::Helper {
 public:
  LongEntries* owner = nullptr;
  mz_zip_archive zip{};
  Job job{};
  uint64_t taken = 0, releasedTo = 0;
  std::exception_ptr failure;
};

LongEntries::LongEntries(const char* held, size_t heldSize, MappedFile& mapping)
    : held(held), heldSize(heldSize), mapping(mapping) {
  try {
    for (int i = 0; i < 2; ++i) helpers.emplace_back([this] {
      Helper helper;
      helper.owner = this;
      run(helper);
    });
  } catch (...) {
    stop();
    throw;
  }
}

LongEntries::~LongEntries() { stop(); }

void LongEntries::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    cancelled = true;
  }
  queued.notify_all();
  for (std::thread& helper : helpers)
    if (helper.joinable()) helper.join();
}

void LongEntries::start(uint64_t entry, const Writer* write, const WholeWriter* whole,
                        uint64_t begin, uint64_t end, uint64_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    jobs.push_back({entry, write, whole, begin, end, size});
    progress[entry] = 0;
  }
  queued.notify_one();
}

std::vector<LongEntries::Outcome> LongEntries::ended(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex);
  if (outcomes.empty()) finished.wait_for(lock, timeout, [this] { return !outcomes.empty(); });
  std::vector<Outcome> done;
  done.swap(outcomes);
  return done;
}

uint64_t LongEntries::written(uint64_t entry) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = progress.find(entry);
  return found == progress.end() ? 0 : found->second;
}

size_t LongEntries::deliver(void* self, mz_uint64, const void* data, size_t n) {
  Helper& helper = *static_cast<Helper*>(self);
  LongEntries& owner = *helper.owner;
  // Runs inside the reader, under the mapping's guard: the writer's frames must never be
  // left by a jump, and nothing here reads mapped bytes.
  GuardPause pause;
  {
    std::lock_guard<std::mutex> lock(owner.mutex);
    if (owner.cancelled) return 0;
  }
  try {
    (*helper.job.write)(static_cast<const char*>(data), n);
  } catch (...) {
    helper.failure = std::current_exception();
    return 0;
  }
  helper.taken += n;
  {
    std::lock_guard<std::mutex> lock(owner.mutex);
    owner.progress[helper.job.entry] = helper.taken;
  }
  // What lies behind the extraction is given back as it goes.
  const Job& job = helper.job;
  const uint64_t behind = readBehind(job.end - job.begin, job.size, helper.taken);
  if (owner.mapping.data() && behind >= helper.releasedTo + MappedFile::RELEASE_STEP) {
    helper.releasedTo = behind;
    const uint64_t offset = uint64_t(owner.held - owner.mapping.data());
    owner.mapping.release(offset + job.begin, offset + job.begin + behind);
  }
  return n;
}

bool LongEntries::extractWhole(Helper& helper, Outcome& outcome) {
  const Job& job = helper.job;
  char* to = nullptr;
  try {
    to = job.whole->map(job.size);
  } catch (...) {
    helper.failure = std::current_exception();
    return true;
  }
  if (!to) return false;
  // A fault writing the file's pages (its file system out of room after all) is told
  // apart from one reading the archive's: the writer then goes the way that names it.
  bool done = false, written = true;
  outcome.changed = !guarded(mapping.data(), mapping.size(), [&] {
    written = guarded(to, size_t(job.size), [&] {
      done = mz_zip_reader_extract_to_mem(&helper.zip, mz_uint(job.entry), to,
                                          size_t(job.size), 0) != MZ_FALSE;
    });
  });
  const bool whole = done && written && !outcome.changed;
  if (!whole) (void)mz_zip_get_last_error(&helper.zip);
  try {
    job.whole->unmap(to, job.size, whole);
  } catch (...) {
    helper.failure = std::current_exception();
    return true;
  }
  if (!whole) {
    outcome.changed = false;
    return false;
  }
  helper.taken = job.size;
  return true;
}

void LongEntries::run(Helper& helper) {
  auto readGuarded = [this](auto&& read) { return guarded(mapping.data(), mapping.size(), read); };
  // The central directory is read from the mapping too: a file cut short fails the
  // helper's entries. Entries are taken by index only: no name index to sort.
  bool open = false;
  const bool readable = readGuarded([&] {
    open = mz_zip_reader_init_mem(&helper.zip, held, heldSize,
                                  MZ_ZIP_FLAG_DO_NOT_SORT_CENTRAL_DIRECTORY) != MZ_FALSE;
  });
  if (!open && helper.zip.m_zip_mode != MZ_ZIP_MODE_INVALID) mz_zip_reader_end(&helper.zip);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      queued.wait(lock, [this] { return cancelled || !jobs.empty(); });
      if (cancelled) break;
      // The longest first: the two helpers then end close together, rather than one
      // finishing a long entry alone after the other ran out of work.
      const auto longest = std::max_element(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) {
        return a.size < b.size;
      });
      helper.job = *longest;
      jobs.erase(longest);
    }
    Outcome outcome;
    outcome.entry = helper.job.entry;
    helper.taken = helper.releasedTo = 0;
    helper.failure = nullptr;
    bool done = false;
    if (open && helper.job.whole && extractWhole(helper, outcome)) {
      // Inflated whole into the file, or failed in giving its bytes back.
      done = !helper.failure;
    } else if (open) {
      outcome.changed = !readGuarded([&] {
        done = mz_zip_reader_extract_to_callback(&helper.zip, mz_uint(helper.job.entry), deliver,
                                                 &helper, 0) != MZ_FALSE;
      });
      if (!done) outcome.error = mz_zip_get_last_error(&helper.zip);
    } else {
      outcome.changed = !readable;
      outcome.error = MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
    }
    if (mapping.data()) {
      const uint64_t offset = uint64_t(held - mapping.data());
      mapping.release(offset + helper.job.begin, offset + helper.job.end);
    }
    outcome.failure = helper.failure;
    outcome.taken = helper.taken;
    {
      std::lock_guard<std::mutex> lock(mutex);
      progress.erase(outcome.entry);
      outcomes.push_back(outcome);
    }
    finished.notify_all();
  }
  if (open) mz_zip_reader_end(&helper.zip);
}
