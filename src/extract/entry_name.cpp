#include "entry_name.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "case_fold_table.h"

bool isDirectoryName(const std::string& name) { return name.empty() || name.back() == '/'; }

namespace {

// Whether `holds` is true of some part of `name` between slashes, empty ones included.
// Nothing is copied: the extraction asks it of every entry, twice.
template <typename Holds>
bool anyPart(std::string_view name, Holds holds) {
  for (size_t start = 0;;) {
    const size_t end = std::min(name.find('/', start), name.size());
    if (holds(name.substr(start, end - start))) return true;
    if (end == name.size()) return false;
    start = end + 1;
  }
}

}  // namespace

std::vector<std::string> nameComponents(const std::string& name) {
  std::vector<std::string> components;
  anyPart(name, [&](std::string_view part) {
    if (!part.empty() && part != ".") components.emplace_back(part);
    return false;
  });
  return components;
}

std::string refusal(const std::string& name) {
  if (anyPart(name, [](std::string_view part) { return part == ".."; }))
    return "refused: \"..\" in an entry name";
  const bool component =
      anyPart(name, [](std::string_view part) { return !part.empty() && part != "."; });
  if (!isDirectoryName(name) && !component) return "refused: a file entry names the target itself";
  return "";
}

namespace {

// One code point read from `name` at `at`, which moves past it, as exfat-fuse reads UTF-8:
// any form of up to six bytes whose value fits Unicode, overlong or a surrogate. False
// where it stops reading the name.
bool readCodePoint(const std::string& name, size_t& at, uint32_t& c) {
  const unsigned char lead = static_cast<unsigned char>(name[at]);
  const size_t size = lead < 0x80   ? 1
                      : lead < 0xC0 ? 0  // a continuation byte cannot lead
                      : lead < 0xE0 ? 2
                      : lead < 0xF0 ? 3
                      : lead < 0xF8 ? 4
                      : lead < 0xFC ? 5
                      : lead < 0xFE ? 6
                                    : 0;
  if (size == 0) return false;
  c = size == 1 ? lead : lead & (0x7F >> size);
  if (name.size() - at < size) return false;
  for (size_t i = 1; i < size; ++i) {
    const unsigned char next = static_cast<unsigned char>(name[at + i]);
    if ((next & 0xC0) != 0x80) return false;
    c = c << 6 | (next & 0x3F);
  }
  at += size;
  return c <= 0x10FFFF;
}

// Writes c's shortest UTF-8 form at `out` and returns the end.
char* writeUtf8(char* out, uint32_t c) {
  if (c < 0x80) {
    *out++ = char(c);
  } else if (c < 0x800) {
    *out++ = char(0xC0 | c >> 6);
    *out++ = char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = char(0xE0 | c >> 12);
    *out++ = char(0x80 | (c >> 6 & 0x3F));
    *out++ = char(0x80 | (c & 0x3F));
  } else {
    *out++ = char(0xF0 | c >> 18);
    *out++ = char(0x80 | (c >> 12 & 0x3F));
    *out++ = char(0x80 | (c >> 6 & 0x3F));
    *out++ = char(0x80 | (c & 0x3F));
  }
  return out;
}

uint32_t foldCodePoint(uint32_t c) {
  if (c > 0xFFFF) return c;
  return uint32_t(int32_t(c) + caseFoldDeltas[caseFoldRowOfBlock[c >> 7]][c & 127]);
}

bool isHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Folds what follows the ASCII prefix `at` of `folded`, a copy of `name`. False where the
// name cannot be read.
bool foldBeyondAscii(const std::string& name, size_t at, std::string& folded) {
  // No form grows by more than half: two bytes fold to at most three, a surrogate pair's
  // six to four.
  folded.resize(name.size() + name.size() / 2);
  char* out = &folded[at];
  // exFAT holds names in UTF-16: a surrogate pair spelled as two three-byte forms is the
  // code point that four bytes spell.
  uint32_t high = 0;
  while (at < name.size()) {
    uint32_t c = 0;
    if (!readCodePoint(name, at, c)) return false;
    if (c == 0) break;
    if (high != 0 && isLowSurrogate(c)) {
      c = 0x10000 + ((high - 0xD800) << 10) + (c - 0xDC00);
    } else if (high != 0) {
      out = writeUtf8(out, high);
    }
    high = 0;
    if (isHighSurrogate(c)) {
      high = c;
      continue;
    }
    out = writeUtf8(out, foldCodePoint(c));
  }
  if (high != 0) out = writeUtf8(out, high);
  folded.resize(size_t(out - folded.data()));
  return true;
}

}  // namespace

std::string foldCase(const std::string& name) {
  // Most names are ASCII: they fold in place, in the string returned (one return, so the
  // compiler builds it where the caller wants it).
  std::string folded = name;
  size_t at = 0;
  for (; at < folded.size(); ++at) {
    const unsigned char c = static_cast<unsigned char>(folded[at]);
    if (c >= 0x80) break;
    if (c >= 'A' && c <= 'Z') folded[at] = char(c + 32);
  }
  if (at < folded.size() && !foldBeyondAscii(name, at, folded)) folded = name;
  return folded;
}
