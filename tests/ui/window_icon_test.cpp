#include "window_icon.h"

#include "icon_image.h"

#include <FL/Enumerations.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Pixmap.H>
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>
#include <string>

namespace {

constexpr int kSize = 128;
constexpr int kColours = 1251;
constexpr int kFirstRow = 1 + kColours;

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

using Rgba = std::array<int, 4>;

// Key -> colour as the XPM states it; None becomes FL_GRAY's default RGB with alpha 0.
std::map<std::string, Rgba> colourTable() {
  std::map<std::string, Rgba> table;
  for (int i = 1; i <= kColours; ++i) {
    std::string line = windowIconXpm[i];
    std::string colour = line.substr(5);
    if (colour == "None") {
      table[line.substr(0, 2)] = {192, 192, 192, 0};
    } else {
      int v = std::stoi(colour.substr(1), nullptr, 16);
      table[line.substr(0, 2)] = {(v >> 16) & 255, (v >> 8) & 255, v & 255, 255};
    }
  }
  return table;
}

TEST(WindowIconXpm, ValuesLineAndLineCount) {
  EXPECT_EQ(windowIconXpmLines, 1 + kColours + kSize);
  EXPECT_STREQ(windowIconXpm[0], "128 128 1251 2");
}

// Keys are printable and never '"', '?' or '\\': those would end the C string, start a
// trigraph or escape the next character, and the picture would come out wrong.
TEST(WindowIconXpm, ColourLinesAreWellFormedWithDistinctKeysAndColours) {
  EXPECT_STREQ(windowIconXpm[1], "  \tc None");
  std::set<std::string> keys{"  "}, colours;
  for (int k = 1; k < kColours; ++k) {
    std::string line = windowIconXpm[1 + k];
    ASSERT_EQ(line.size(), 12u) << "colour line " << k << ": " << line;
    for (char c : line.substr(0, 2)) {
      EXPECT_TRUE(c >= ' ' && c <= '~' && c != '"' && c != '?' && c != '\\')
          << "colour line " << k << ": key character '" << c << "'";
    }
    keys.insert(line.substr(0, 2));
    EXPECT_EQ(line.substr(2, 4), "\tc #") << "colour line " << k;
    for (char c : line.substr(6)) {
      EXPECT_TRUE(isUpperHex(c)) << "colour line " << k << ": " << line;
    }
    colours.insert(line.substr(6));
  }
  EXPECT_EQ(keys.size(), static_cast<size_t>(kColours));
  EXPECT_EQ(colours.size(), static_cast<size_t>(kColours - 1));
}

TEST(WindowIconXpm, RowsUseKnownKeysEveryColourAndStayInsideTheFrame) {
  auto table = colourTable();
  ASSERT_EQ(table.size(), static_cast<size_t>(kColours));
  std::set<std::string> used;
  for (int y = 0; y < kSize; ++y) {
    std::string row = windowIconXpm[kFirstRow + y];
    ASSERT_EQ(row.size(), 2u * kSize) << "row " << y;
    for (int x = 0; x < kSize; ++x) {
      std::string key = row.substr(2 * x, 2);
      ASSERT_TRUE(table.count(key)) << "unknown key '" << key << "' at " << x << "," << y;
      used.insert(key);
      bool inside = x >= 7 && x <= 117 && y >= 11 && y <= 119;
      if (!inside) {
        EXPECT_EQ(key, "  ") << "opaque pixel outside the frame at " << x << "," << y;
      }
    }
  }
  EXPECT_EQ(used.size(), table.size()) << "some colours are never used";
}

// The toolkit's conversion, and ours that the window uses (made without the display),
// both give every pixel the colour its line states.
TEST(WindowIconImage, EveryPixelMatchesItsColourLineInBothDecodings) {
  auto table = colourTable();
  Fl_Pixmap pixmap(windowIconXpm);
  Fl_RGB_Image image(&pixmap, FL_GRAY);
  ASSERT_EQ(image.d(), 4);
  RgbaImage ours = decodeXpm(windowIconXpm);
  ASSERT_EQ(ours.width, kSize);
  ASSERT_EQ(ours.height, kSize);
  ASSERT_EQ(ours.pixels.size(), static_cast<size_t>(kSize * kSize * 4));
  const auto* toolkit = reinterpret_cast<const unsigned char*>(image.data()[0]);
  const unsigned char* mine = ours.pixels.data();
  int mismatches = 0;
  for (int y = 0; y < kSize; ++y) {
    std::string row = windowIconXpm[kFirstRow + y];
    for (int x = 0; x < kSize; ++x) {
      const Rgba want = table[row.substr(2 * x, 2)];
      for (const unsigned char* data : {toolkit, mine}) {
        const unsigned char* p = data + (y * kSize + x) * 4;
        if (Rgba{p[0], p[1], p[2], p[3]} != want && ++mismatches <= 5) {
          ADD_FAILURE() << (data == toolkit ? "toolkit's" : "our") << " pixel " << x << ","
                        << y << " key '" << row.substr(2 * x, 2) << "'";
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
