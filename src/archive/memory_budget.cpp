#include "memory_budget.h"

#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

const uint64_t UNKNOWN = UINT64_MAX;

// The first number in `path`, or UNKNOWN when it holds none ("max" means no limit).
uint64_t numberIn(const std::string& path) {
  std::ifstream in(path);
  uint64_t value;
  return in >> value ? value : UNKNOWN;
}

// The value of the line "KEY VALUE ..." in a file of such lines (memory.stat, meminfo,
// /proc/self/status).
uint64_t fieldOf(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, key.size(), key) != 0 || line.size() == key.size()) continue;
    if (line[key.size()] != ' ' && line[key.size()] != '\t') continue;
    std::istringstream fields(line.substr(key.size()));
    uint64_t value;
    return fields >> value ? value : UNKNOWN;
  }
  return UNKNOWN;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream list(text);
  for (std::string part; std::getline(list, part, separator);) parts.push_back(part);
  return parts;
}

// What a cgroup leaves below `limit` when it has `usage` charged, of which the inactive
// file cache would be reclaimed before anything is refused.
uint64_t leftUnder(uint64_t limit, uint64_t usage, uint64_t inactiveFile) {
  if (limit == UNKNOWN || usage == UNKNOWN) return UNKNOWN;
  if (inactiveFile != UNKNOWN) usage -= std::min(usage, inactiveFile);
  return limit > usage ? limit - usage : 0;
}

// One cgroup file system as mounted: which subtree of its hierarchy (`root`) shows where.
struct CgroupMount {
  std::string root;
  std::string point;
  bool v2;
  std::vector<std::string> options;  // v1: the controllers, "memory" among them
};

// mountinfo writes spaces and other awkward bytes in paths as \ooo.
std::string unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Lines read "ID PARENT DEV ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER_OPTIONS".
std::vector<CgroupMount> cgroupMounts(const std::string& root) {
  std::vector<CgroupMount> mounts;
  std::ifstream in(root + "/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    const std::string& type = dash[1];
    if (type != "cgroup" && type != "cgroup2") continue;
    mounts.push_back({unescape(fields[3]), root + unescape(fields[4]), type == "cgroup2",
                      split(dash[3], ',')});
  }
  return mounts;
}

// Where `group` (a path in the hierarchy) shows under `mount`, or "" when outside its root.
// In a container without a cgroup namespace the group's own directory is mounted at the
// top, with that directory as the mount's root.
std::string placeOf(const CgroupMount& mount, const std::string& group) {
  if (mount.root == "/") return mount.point + (group == "/" ? "" : group);
  if (group == mount.root) return mount.point;
  if (group.compare(0, mount.root.size() + 1, mount.root + "/") == 0)
    return mount.point + group.substr(mount.root.size());
  return "";
}

// cgroup v2: the group and each ancestor within the mount may set memory.max.
uint64_t leftInV2(const std::string& point, std::string dir) {
  uint64_t left = UNKNOWN;
  while (true) {
    left = std::min(left, leftUnder(numberIn(dir + "/memory.max"), numberIn(dir + "/memory.current"),
                                    fieldOf(dir + "/memory.stat", "inactive_file")));
    if (dir.size() <= point.size()) return left;
    dir.erase(dir.rfind('/'));
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
  const std::vector<CgroupMount> mounts = cgroupMounts(root);
  std::ifstream in(root + "/proc/self/cgroup");
  uint64_t left = UNKNOWN;
  for (std::string line; std::getline(in, line);) {
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string group = line.substr(second + 1);
    const bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
    const std::vector<std::string> names = split(controllers, ',');
    if (!v2 && std::find(names.begin(), names.end(), "memory") == names.end()) continue;
    for (const CgroupMount& mount : mounts) {
      if (mount.v2 != v2) continue;
      if (!v2 && std::find(mount.options.begin(), mount.options.end(), "memory") == mount.options.end())
        continue;
      const std::string dir = placeOf(mount, group);
      if (dir.empty()) continue;
      left = std::min(left, v2 ? leftInV2(mount.point, dir) : leftInV1(dir));
    }
  }
  return left;
}

}  // namespace

std::string mebibytes(uint64_t bytes) {
  return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB";
}

uint64_t availableMemory(const std::string& root) {
  const uint64_t kib = fieldOf(root + "/proc/meminfo", "MemAvailable:");
  const uint64_t system = kib == UNKNOWN ? UNKNOWN : kib * 1024;
  return std::min(system, leftInCgroups(root));
}

uint64_t addressSpaceLeft() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UNKNOWN;
  const uint64_t kib = fieldOf("/proc/self/status", "VmSize:");
  const uint64_t used = kib == UNKNOWN ? 0 : kib * 1024;
  return limit.rlim_cur > used ? limit.rlim_cur - used : 0;
}

bool roomToMap(uint64_t size) {
  const uint64_t left = addressSpaceLeft();
  return left == UNKNOWN || (left >= RUN_ADDRESS_SPACE && size <= left - RUN_ADDRESS_SPACE);
}

void reserveToHold(std::vector<char>& data, uint64_t size) {
  // The end record's search window and other small reads need no look at /proc and /sys.
  uint64_t available = UNKNOWN;
  if (size >= RUN_HEADROOM) {
    available = availableMemory();
    const uint64_t space = addressSpaceLeft();
    const uint64_t beyond = RUN_ADDRESS_SPACE - RUN_HEADROOM;
    if (space != UNKNOWN) available = std::min(available, space > beyond ? space - beyond : 0);
  }
  const auto refuse = [&] {
    const std::string left =
        available == UNKNOWN ? "less available" : mebibytes(available) + " available";
    return std::runtime_error("not enough memory to hold the archive: it needs " +
                              mebibytes(size + RUN_HEADROOM) + ", " + left);
  };
  if (available != UNKNOWN && (available < RUN_HEADROOM || size > available - RUN_HEADROOM))
    throw refuse();
  if (size > data.max_size()) throw refuse();
  try {
    data.reserve(size_t(size));
  } catch (const std::bad_alloc&) {
    throw refuse();
  }
}
