// Messages and names made safe for a terminal and for the window's caption.
#include "display_text.h"

#include <gtest/gtest.h>

namespace {

// Whether `text` is well-formed UTF-8 (no sequence cut in two).
bool wellFormed(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

TEST(Printable, ControlCharactersBecomeEscapes) {
  EXPECT_EQ(printable("a\nb\tc\rd\x1b[2J\x7f\x01"), "a\\nb\\tc\\rd\\x1b[2J\\x7f\\x01");
  EXPECT_EQ(printable("extração/ícone@2x.png"), "extração/ícone@2x.png");
  EXPECT_EQ(printable(std::string("a\0b", 3)), "a\\x00b");
}

TEST(ShortenToFit, ShortensTheLongestPathNeverTheReason) {
  const std::string reason = "No space left on device";
  const std::string path = "/home/usuário/" + std::string(200, 'x') + "/ação/file.bin";
  const std::string text = "pkg/file.bin: file couldn't be written: " + path + ": " + reason;
  const auto within = [](size_t n) { return [n](const std::string& t) { return t.size() <= n; }; };
  EXPECT_EQ(shortenToFit(text, within(text.size())), text) << "shortened what fitted";

  const std::string shown = shortenToFit(text, within(120));
  EXPECT_LE(shown.size(), 120u);
  EXPECT_EQ(shown.rfind("pkg/file.bin: file couldn't be written: /home/usu", 0), 0u) << shown;
  EXPECT_EQ(shown.substr(shown.size() - reason.size() - 2), ": " + reason);
  EXPECT_NE(shown.find("\xE2\x80\xA6"), std::string::npos);
  EXPECT_NE(shown.find("/file.bin: "), std::string::npos) << "the path's end went: " << shown;
  EXPECT_TRUE(wellFormed(shown)) << shown;

  // However little room there is, the reason stays whole.
  const std::string tight = shortenToFit(text, within(10));
  EXPECT_EQ(tight.substr(tight.size() - reason.size()), reason);
  EXPECT_TRUE(wellFormed(tight)) << tight;
}

}  // namespace
