// How much memory this process may still take, so that an archive too large to hold is
// refused with its size instead of ending in std::bad_alloc or the kernel's OOM killer.
#ifndef SFX_ARCHIVE_MEMORY_BUDGET_H_
#define SFX_ARCHIVE_MEMORY_BUDGET_H_

#include <cstdint>
#include <string>

// Bytes the process can still use: the system's MemAvailable, lowered to what its memory
// cgroup (v1 or v2, with every limited ancestor) leaves below its limit, counting the
// cgroup's inactive file cache as free. UINT64_MAX when nothing is known. `root` is where
// /proc and /sys are found ("" for the real ones; tests pass a fake tree).
uint64_t availableMemory(const std::string& root = "");

#endif  // SFX_ARCHIVE_MEMORY_BUDGET_H_
