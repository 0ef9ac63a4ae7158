#include "icon_image.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace {

struct Rgba {
  unsigned char r, g, b, a;
};

[[noreturn]] void malformed(int line, const std::string& why) {
  throw std::runtime_error("icon XPM line " + std::to_string(line) + ": " + why);
}

// "KEY<whitespace>c #RRGGBB" or "KEY<whitespace>c None", KEY being `keyLength` characters.
Rgba parseColour(const char* line, int lineNumber, int keyLength) {
  const char* visual = line + keyLength;
  visual += std::strspn(visual, " \t");
  if (visual[0] != 'c' || (visual[1] != ' ' && visual[1] != '\t')) {
    malformed(lineNumber, "no colour visual");
  }
  const char* value = visual + 1 + std::strspn(visual + 1, " \t");
  if (std::strcmp(value, "None") == 0) return {192, 192, 192, 0};
  unsigned r, g, b;
  int used = 0;
  if (std::sscanf(value, "#%2x%2x%2x%n", &r, &g, &b, &used) != 3 || used != 7 ||
      value[7] != '\0') {
    malformed(lineNumber, "colour is not #RRGGBB or None");
  }
  return {static_cast<unsigned char>(r), static_cast<unsigned char>(g),
          static_cast<unsigned char>(b), 255};
}

}  // namespace

RgbaImage decodeXpm(const char* const* xpm) {
  int width, height, colours, keyLength;
  if (std::sscanf(xpm[0], "%d %d %d %d", &width, &height, &colours, &keyLength) != 4 ||
      width <= 0 || height <= 0 || colours <= 0 || keyLength <= 0) {
    malformed(0, "bad values line");
  }

  std::unordered_map<std::string, Rgba> table;
  for (int i = 1; i <= colours; ++i) {
    if (std::strlen(xpm[i]) <= static_cast<size_t>(keyLength)) malformed(i, "too short");
    table[std::string(xpm[i], keyLength)] = parseColour(xpm[i], i, keyLength);
  }

  RgbaImage image;
  image.width = width;
  image.height = height;
  image.pixels.reserve(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    const int lineNumber = 1 + colours + y;
    const char* row = xpm[lineNumber];
    if (std::strlen(row) != static_cast<size_t>(width) * keyLength) {
      malformed(lineNumber, "row length is not width x key length");
    }
    for (int x = 0; x < width; ++x) {
      auto found = table.find(std::string(row + x * keyLength, keyLength));
      if (found == table.end()) malformed(lineNumber, "unknown key at column " + std::to_string(x));
      const Rgba& c = found->second;
      image.pixels.insert(image.pixels.end(), {c.r, c.g, c.b, c.a});
    }
  }
  return image;
}
