// What a run may take of the machine. The rule lives here; the rest of the code and the
// README point to it.
//
// - The archive is mapped from the installer's own file: its pages are the page cache's,
//   read as the extraction reaches them, so it needs none of our memory at any size, only
//   address space.
// - Where the file cannot be mapped it is read into memory, and then it must fit: its size
//   and RUN_HEADROOM within what the system and the memory cgroup leave. reserveToHold
//   refuses it otherwise, with both sizes and before anything on disk changes, rather than
//   ending in std::bad_alloc or the kernel's OOM killer halfway.
// - Under ulimit -v the toolkit needs RUN_ADDRESS_SPACE beside whatever is mapped (its
//   font start-up crashes or hangs with less): a mapping that would leave less is not made
//   (roomToMap), the archive is read instead, and a run left with less shows no window.
#ifndef SFX_ARCHIVE_MEMORY_BUDGET_H_
#define SFX_ARCHIVE_MEMORY_BUDGET_H_

#include <cstdint>
#include <string>
#include <vector>

// Bytes the process can still use: the system's MemAvailable, lowered to what its memory
// cgroup (v1 or v2, with every limited ancestor in sight) leaves below its limit, counting
// the cgroup's inactive file cache as free. The cgroup is looked up as the kernel reports
// it: its path in /proc/self/cgroup, under the mount of that hierarchy in
// /proc/self/mountinfo whose root contains it. UINT64_MAX when nothing is known. `root` is
// where /proc and the mounts are found ("" for the real ones; tests pass a fake tree).
uint64_t availableMemory(const std::string& root = "");

// Address space ulimit -v leaves this process (RLIMIT_AS less what is mapped now);
// UINT64_MAX without a limit.
uint64_t addressSpaceLeft();

// What a run needs beside the archive: its code, the toolkit and X client libraries with
// their fonts, its threads' stacks and allocator arenas, and the extraction's buffers (the
// read-ahead's 12 MiB among them; without room for those it extracts on one thread).
constexpr uint64_t RUN_HEADROOM = uint64_t(24) << 20;
constexpr uint64_t RUN_ADDRESS_SPACE = uint64_t(96) << 20;

// Whether `size` more bytes mapped leave the run what it needs under ulimit -v: with less,
// the toolkit crashes or hangs as it starts.
bool roomToMap(uint64_t size);

// Reserves room in `data` for an archive of `size` bytes read into memory; throws
// "not enough memory to hold the archive: it needs N MiB, M MiB available" when it would
// not fit as above.
void reserveToHold(std::vector<char>& data, uint64_t size);

std::string mebibytes(uint64_t bytes);

#endif  // SFX_ARCHIVE_MEMORY_BUDGET_H_
