#include "icon_image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

RgbaImage decodeXpm(const char* const* xpm) {
  RgbaImage image;
  int colours = 0, keyLength = 0;
  std::sscanf(xpm[0], "%d %d %d %d", &image.width, &image.height, &colours, &keyLength);

  // Colour lines read "KEY<tab>c #RRGGBB" or "KEY<tab>c None"; the value follows the
  // last space.
  std::unordered_map<std::string, unsigned long> rgba;
  for (int i = 1; i <= colours; ++i) {
    const char* value = std::strrchr(xpm[i], ' ') + 1;
    const bool none = std::strcmp(value, "None") == 0;
    rgba[std::string(xpm[i], keyLength)] =
        none ? 0xC0C0C000 : std::strtoul(value + 1, nullptr, 16) << 8 | 0xFF;
  }

  image.pixels.reserve(size_t(image.width) * image.height * 4);
  for (int y = 0; y < image.height; ++y) {
    const char* row = xpm[1 + colours + y];
    for (int x = 0; x < image.width; ++x) {
      const unsigned long c = rgba.at(std::string(row + x * keyLength, keyLength));
      image.pixels.insert(image.pixels.end(), {static_cast<unsigned char>(c >> 24),
                                               static_cast<unsigned char>(c >> 16),
                                               static_cast<unsigned char>(c >> 8),
                                               static_cast<unsigned char>(c)});
    }
  }
  return image;
}
