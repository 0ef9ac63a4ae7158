#include "memory_budget.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

const uint64_t UNKNOWN = UINT64_MAX;

// The first number in `path`, or UNKNOWN when it holds none ("max" means no limit).
uint64_t numberIn(const std::string& path) {
  std::ifstream in(path);
  uint64_t value;
  return in >> value ? value : UNKNOWN;
}

// The value of the line "KEY VALUE" in a file of such lines (memory.stat, meminfo).
uint64_t fieldOf(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string name;
  uint64_t value;
  while (in >> name >> value) {
    if (name == key) return value;
    in.ignore(1 << 16, '\n');
  }
  return UNKNOWN;
}

// What a cgroup leaves below `limit` when it has `usage` charged, of which the inactive
// file cache would be reclaimed before anything is refused.
uint64_t leftUnder(uint64_t limit, uint64_t usage, uint64_t inactiveFile) {
  if (limit == UNKNOWN || usage == UNKNOWN) return UNKNOWN;
  if (inactiveFile != UNKNOWN) usage -= std::min(usage, inactiveFile);
  return limit > usage ? limit - usage : 0;
}

// cgroup v2: the group and each ancestor may set memory.max.
uint64_t leftInV2(const std::string& mount, std::string group) {
  uint64_t left = UNKNOWN;
  while (true) {
    const std::string dir = mount + group;
    left = std::min(left, leftUnder(numberIn(dir + "/memory.max"), numberIn(dir + "/memory.current"),
                                    fieldOf(dir + "/memory.stat", "inactive_file")));
    if (group.empty() || group == "/") return left;
    group.erase(group.rfind('/'));
  }
}

// cgroup v1: memory.stat's hierarchical limit already takes the ancestors in.
uint64_t leftInV1(const std::string& dir) {
  const std::string stat = dir + "/memory.stat";
  const uint64_t limit = std::min(numberIn(dir + "/memory.limit_in_bytes"),
                                  fieldOf(stat, "hierarchical_memory_limit"));
  return leftUnder(limit, numberIn(dir + "/memory.usage_in_bytes"),
                   fieldOf(stat, "total_inactive_file"));
}

// Lines of /proc/self/cgroup read "ID:CONTROLLERS:PATH"; v2 has ID 0 and no controllers.
uint64_t leftInCgroups(const std::string& root) {
  std::ifstream in(root + "/proc/self/cgroup");
  uint64_t left = UNKNOWN;
  std::string line;
  while (std::getline(in, line)) {
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string group = line.substr(second + 1);
    std::vector<std::string> names;
    std::stringstream list(controllers);
    for (std::string name; std::getline(list, name, ',');) names.push_back(name);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      left = std::min(left, leftInV2(root + "/sys/fs/cgroup", group == "/" ? "" : group));
    } else if (std::find(names.begin(), names.end(), "memory") != names.end()) {
      left = std::min(left, leftInV1(root + "/sys/fs/cgroup/" + controllers + group));
    }
  }
  return left;
}

}  // namespace

uint64_t availableMemory(const std::string& root) {
  const uint64_t kib = fieldOf(root + "/proc/meminfo", "MemAvailable:");
  const uint64_t system = kib == UNKNOWN ? UNKNOWN : kib * 1024;
  return std::min(system, leftInCgroups(root));
}
