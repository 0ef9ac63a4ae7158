// What the memory check reads, on fake /proc and /sys trees laid out as the kernel does.
#include "memory_budget.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// mountinfo lines as the kernel writes them, for the mounts given as ROOT POINT TYPE OPTIONS.
std::string mountinfo(const std::vector<std::vector<std::string>>& mounts) {
  std::string text = "21 1 0:19 / / rw,relatime - ext4 /dev/vda rw\n";
  int id = 30;
  for (const auto& m : mounts) {
    ++id;
    text += std::to_string(id) + " 21 0:" + std::to_string(id) + " " + m[0] + " " + m[1] +
            " rw,nosuid shared:9 - " + m[2] + " " + m[2] + " " + m[3] + "\n";
  }
  return text;
}

TEST(MemoryBudget, CgroupV1LimitCountsInactiveFilesAsFree) {
  TempDir root;
  put(root, "/proc/meminfo", "MemAvailable:  20971520 kB\n");
  put(root, "/proc/self/cgroup", "5:devices:/x\n4:memory:/jobs/one\n0::/\n");
  put(root, "/proc/self/mountinfo",
      mountinfo({{"/", "/sys/fs/cgroup/devices", "cgroup", "rw,devices"},
                 {"/", "/sys/fs/cgroup/memory", "cgroup", "rw,memory"},
                 {"/", "/sys/fs/cgroup/unified", "cgroup2", "rw"}}));
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
  put(root, "/proc/self/mountinfo", mountinfo({{"/", "/sys/fs/cgroup", "cgroup2", "rw"}}));
  put(root, "/sys/fs/cgroup/user.slice/app/memory.max", "max\n");
  put(root, "/sys/fs/cgroup/user.slice/app/memory.current", std::to_string(10 * MiB));
  put(root, "/sys/fs/cgroup/user.slice/memory.max", std::to_string(200 * MiB));
  put(root, "/sys/fs/cgroup/user.slice/memory.current", std::to_string(150 * MiB));
  put(root, "/sys/fs/cgroup/user.slice/memory.stat", "anon 1\ninactive_file " + std::to_string(20 * MiB));
  EXPECT_EQ(availableMemory(root.path()), 70 * MiB);
}

// A container without a cgroup namespace: the group's path is the host's, and the
// group's own directory is what is mounted at the top.
TEST(MemoryBudget, GroupMountedAtTheTopOfAContainer) {
  TempDir root;
  put(root, "/proc/meminfo", "MemAvailable:  20971520 kB\n");
  const std::string group = "/system.slice/docker-4f2a.scope";
  put(root, "/sys/fs/cgroup/memory.max", std::to_string(150 * MiB));
  put(root, "/sys/fs/cgroup/memory.current", std::to_string(30 * MiB));
  // v2, and v1 with the controller mounted on its own.
  put(root, "/proc/self/cgroup", "0::" + group + "\n");
  put(root, "/proc/self/mountinfo",
      mountinfo({{group, "/sys/fs/cgroup", "cgroup2", "rw,nsdelegate"}}));
  EXPECT_EQ(availableMemory(root.path()), 120 * MiB);

  put(root, "/proc/self/cgroup", "7:memory:" + group + "\n0::/\n");
  put(root, "/proc/self/mountinfo",
      mountinfo({{group, "/sys/fs/cgroup/memory", "cgroup", "rw,memory"},
                 {"/other", "/sys/fs/cgroup/memory2", "cgroup", "rw,memory"}}));
  const std::string dir = "/sys/fs/cgroup/memory";
  put(root, dir + "/memory.limit_in_bytes", std::to_string(150 * MiB));
  put(root, dir + "/memory.usage_in_bytes", std::to_string(50 * MiB));
  EXPECT_EQ(availableMemory(root.path()), 100 * MiB);

  // Mounted elsewhere, with a space in its name (\040), deeper than the mount's root.
  put(root, "/proc/self/cgroup", "0::" + group + "/inner\n");
  put(root, "/proc/self/mountinfo",
      mountinfo({{group, "/mnt/cg\\040v2", "cgroup2", "rw"}}));
  put(root, "/mnt/cg v2/inner/memory.max", "max");
  put(root, "/mnt/cg v2/inner/memory.current", std::to_string(1 * MiB));
  put(root, "/mnt/cg v2/memory.max", std::to_string(64 * MiB));
  put(root, "/mnt/cg v2/memory.current", std::to_string(4 * MiB));
  EXPECT_EQ(availableMemory(root.path()), 60 * MiB);
}

}  // namespace
