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

std::string refusal(const std::string& name) {
  if (climbsUp(name)) return "refused: \"..\" in an entry name";
  if (!isDirectoryName(name) && nameComponents(name).empty())
    return "refused: a file entry names the target itself";
  return "";
}

std::string foldCase(const std::string& name) {
  std::string folded = name;
  for (size_t i = 0; i < folded.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(folded[i]);
    if (c >= 'A' && c <= 'Z') {
      folded[i] = char(c + 32);
    } else if (c == 0xC3 && i + 1 < folded.size()) {
      // U+00C0 to U+00DE, but for U+00D7 (the multiplication sign): their lower case is
      // 0x20 further on, in the same two-byte form.
      unsigned char next = static_cast<unsigned char>(folded[i + 1]);
      if (next >= 0x80 && next <= 0x9E && next != 0x97) folded[i + 1] = char(next + 0x20);
      ++i;
    }
  }
  return folded;
}
