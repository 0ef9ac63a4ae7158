#include "entry_name.h"

bool isDirectoryName(const std::string& name) { return name.empty() || name.back() == '/'; }

static std::vector<std::string> splitOnSlash(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = name.find('/', start);
    parts.push_back(name.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::vector<std::string> nameComponents(const std::string& name) {
  std::vector<std::string> components;
  for (std::string& part : splitOnSlash(name))
    if (!part.empty() && part != ".") components.push_back(std::move(part));
  return components;
}

bool climbsUp(const std::string& name) {
  for (const std::string& part : splitOnSlash(name))
    if (part == "..") return true;
  return false;
}
