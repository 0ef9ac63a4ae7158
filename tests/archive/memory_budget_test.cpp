// What the memory check reads, on fake /proc and /sys trees laid out as the kernel does.
#include "memory_budget.h"

#include <gtest/gtest.h>

#include "test_files.h"

namespace {

const uint64_t MiB = 1 << 20;

void put(const TempDir& root, const std::string& path, const std::string& text) {
  runIn(root, "mkdir -p \"$(dirname " + shellQuote(path.substr(1)) + ")\"");
  writeFile(root.path() + path, text);
}

TEST(MemoryBudget, SystemAloneOrNothingKnown) {
  TempDir root;
  EXPECT_EQ(availableMemory(root.path()), UINT64_MAX);
  put(root, "/proc/meminfo", "MemTotal:  8000000 kB\nMemFree:  100 kB\nMemAvailable:  2048 kB\n");
  put(root, "/proc/self/cgroup", "0::/\n");
  EXPECT_EQ(availableMemory(root.path()), 2 * MiB);
}

TEST(MemoryBudget, CgroupV1LimitCountsInactiveFilesAsFree) {
  TempDir root;
  put(root, "/proc/meminfo", "MemAvailable:  20971520 kB\n");
  put(root, "/proc/self/cgroup", "5:devices:/x\n4:memory:/jobs/one\n0::/\n");
  const std::string group = "/sys/fs/cgroup/memory/jobs/one";
  put(root, group + "/memory.limit_in_bytes", std::to_string(512 * MiB) + "\n");
  put(root, group + "/memory.usage_in_bytes", std::to_string(300 * MiB) + "\n");
  put(root, group + "/memory.stat", "cache 1\nhierarchical_memory_limit " +
                                        std::to_string(1024 * MiB) + "\ntotal_inactive_file " +
                                        std::to_string(100 * MiB) + "\n");
  EXPECT_EQ(availableMemory(root.path()), 312 * MiB);
  // A lower limit higher up counts.
  put(root, group + "/memory.stat", "hierarchical_memory_limit " + std::to_string(256 * MiB) + "\n");
  EXPECT_EQ(availableMemory(root.path()), 0u);
}

TEST(MemoryBudget, CgroupV2TakesTheTightestAncestor) {
  TempDir root;
  put(root, "/proc/meminfo", "MemAvailable:  20971520 kB\n");
  put(root, "/proc/self/cgroup", "0::/user.slice/app\n");
  put(root, "/sys/fs/cgroup/user.slice/app/memory.max", "max\n");
  put(root, "/sys/fs/cgroup/user.slice/app/memory.current", std::to_string(10 * MiB));
  put(root, "/sys/fs/cgroup/user.slice/memory.max", std::to_string(200 * MiB));
  put(root, "/sys/fs/cgroup/user.slice/memory.current", std::to_string(150 * MiB));
  put(root, "/sys/fs/cgroup/user.slice/memory.stat", "anon 1\ninactive_file " + std::to_string(20 * MiB));
  EXPECT_EQ(availableMemory(root.path()), 70 * MiB);
}

}  // namespace
