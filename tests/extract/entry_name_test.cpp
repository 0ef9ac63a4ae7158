// How a file system that folds case compares names: as exFAT does, which tests against the
// file system itself in every_file_system_test.py.
#include "entry_name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

std::string utf8(uint32_t c) {
  std::string out;
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | c >> 6);
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | c >> 12);
    out += char(0x80 | (c >> 6 & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | c >> 18);
    out += char(0x80 | (c >> 12 & 0x3F));
    out += char(0x80 | (c >> 6 & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
  return out;
}

bool sameName(const std::string& a, const std::string& b) { return foldCase(a) == foldCase(b); }

TEST(EntryNameTest, AsciiLettersFoldToLowerCaseAndNothingElseChanges) {
  EXPECT_EQ(foldCase("App/BIN"), "app/bin");
  EXPECT_EQ(foldCase("README-2.0_[x86] ~$@.TXT"), "readme-2.0_[x86] ~$@.txt");
  EXPECT_EQ(foldCase(""), "");
  std::string every;
  for (int c = 1; c < 0x80; ++c) every += char(c);
  std::string lowered = every;
  for (char& c : lowered)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  EXPECT_EQ(foldCase(every), lowered);
  // After the first letter beyond ASCII, the rest still folds.
  EXPECT_EQ(foldCase("Ωmega/APP"), "ωmega/app");
}

TEST(EntryNameTest, LatinLettersFold) {
  EXPECT_EQ(foldCase("CONFIGURAÇÃO"), "configuração");
  EXPECT_EQ(foldCase("Ä×Þ"), "ä×þ");  // the multiplication sign has no case
  EXPECT_EQ(foldCase("ŁÓDŹ ŐRSÉG"), "łódź őrség");
  EXPECT_EQ(foldCase("Ÿ"), "ÿ");        // Latin Extended-A to Latin-1
  EXPECT_EQ(foldCase("ǄEMAL"), "ǆemal");
  EXPECT_EQ(foldCase("ȺȾ"), "ⱥⱦ");     // two bytes fold to three
  EXPECT_EQ(foldCase("ⱢⱤ"), "ɫɽ");     // and three to two
  EXPECT_EQ(foldCase("ṠṪÅ"), "ṡṫå");
  EXPECT_EQ(foldCase("ＡＢＣ"), "ａｂｃ");  // fullwidth
}

TEST(EntryNameTest, GreekCyrillicAndArmenianFold) {
  EXPECT_EQ(foldCase("ΩΜΈΓΑ"), "ωμέγα");
  EXPECT_TRUE(sameName("Ωμέγα/", "ωμέγα/"));
  EXPECT_EQ(foldCase("ΆΈΉΊΌΎΏΪΫ"), "άέήίόύώϊϋ");
  EXPECT_EQ(foldCase("ᾼἈ"), "ᾳἀ");
  EXPECT_EQ(foldCase("ПРОГРАММА/ДАННЫЕ"), "программа/данные");
  EXPECT_EQ(foldCase("ЁЖИК ЇЖАК ЂАК ѢѦ"), "ёжик їжак ђак ѣѧ");
  EXPECT_EQ(foldCase("ՀԱՅԵՐԵՆ"), "հայերեն");
  EXPECT_EQ(foldCase("ႠႡ"), "ⴀⴁ");  // Georgian Asomtavruli
}

TEST(EntryNameTest, FinalSigmaIsSigma) {
  EXPECT_EQ(foldCase("ΟΔΥΣΣΕΥΣ"), "οδυσσευσ");
  EXPECT_EQ(foldCase("οδυσσευς"), "οδυσσευσ");
}

// exFAT's up-case table maps I to itself and i to I: the dotted capital and the dotless
// small letter are letters of their own, as in Unicode's folding without the Turkish forms.
TEST(EntryNameTest, TurkishIFormsStayApart) {
  EXPECT_EQ(foldCase("I"), "i");
  EXPECT_EQ(foldCase("İ"), "İ");
  EXPECT_EQ(foldCase("ı"), "ı");
  EXPECT_FALSE(sameName("İ", "i"));
  EXPECT_FALSE(sameName("ı", "I"));
  EXPECT_FALSE(sameName("İ", "ı"));
}

// Where Unicode folds and exFAT's older table does not, the names are two on the file
// system and stay two here.
TEST(EntryNameTest, WhatExfatLeavesApartStaysApart) {
  EXPECT_FALSE(sameName("\u212A", "k"));     // Kelvin sign
  EXPECT_FALSE(sameName("\u212B", "å"));     // Ångström sign
  EXPECT_FALSE(sameName("\u2126", "ω"));     // ohm sign
  EXPECT_FALSE(sameName("µ", "μ"));          // micro sign
  EXPECT_FALSE(sameName("ſ", "s"));          // long s
  EXPECT_FALSE(sameName("ẞ", "ß"));          // capital sharp s
  EXPECT_FALSE(sameName("ǅ", "ǆ"));          // title case
  EXPECT_FALSE(sameName("ϐ", "β"));          // Greek symbol forms
  EXPECT_FALSE(sameName("Ꭰ", "ꭰ"));          // Cherokee
  EXPECT_FALSE(sameName("Ა", "ა"));          // Georgian Mtavruli
  EXPECT_FALSE(sameName("Ԥ", "ԥ"));          // Cyrillic Supplement, newer than the table
  EXPECT_FALSE(sameName("𐐀", "𐐨"));        // Deseret, outside the BMP
  EXPECT_EQ(foldCase("\u212A\u212B𐐀"), "\u212A\u212B𐐀");
}

TEST(EntryNameTest, NamesThatAreNotUtf8StayAsTheyAre) {
  EXPECT_EQ(foldCase("\xC3"), "\xC3");                      // cut
  EXPECT_EQ(foldCase("CAF\xC9"), "CAF\xC9");                // Latin-1
  EXPECT_EQ(foldCase("ΩΜ\xCE"), "ΩΜ\xCE");                  // cut after letters
  EXPECT_EQ(foldCase("A\x80Z"), "A\x80Z");                  // a lone continuation byte
  EXPECT_EQ(foldCase("\xFE\xFF"), "\xFE\xFF");              // bytes UTF-8 never has
  EXPECT_EQ(foldCase("AB\xF4\x90\x80\x80"), "AB\xF4\x90\x80\x80");  // beyond U+10FFFF
  EXPECT_EQ(foldCase("\xE2\x82Z"), "\xE2\x82Z");            // a continuation missing
}

// exfat-fuse reads overlong forms, surrogates and six-byte forms as the values they spell,
// and stops at an encoded NUL: such names are the names it finds.
TEST(EntryNameTest, FormsExfatFuseReadsLenientlyAreWhatItReads) {
  EXPECT_EQ(foldCase("\xC1\x81PP"), "app");
  EXPECT_EQ(foldCase("\xE0\x81\xA1pp"), "app");
  EXPECT_EQ(foldCase("\xFC\x80\x80\x80\x81\x81pp"), "app");
  EXPECT_EQ(foldCase("APP\xC0\x80junk"), "app");
  EXPECT_EQ(foldCase("\xED\xA0\x80\xED\xB0\x80"), "\xF0\x90\x80\x80");  // a pair in halves
  EXPECT_EQ(foldCase("X\xED\xA0\x80Y"), "x\xED\xA0\x80y");             // a lone half
  EXPECT_EQ(foldCase("\xED\xB0\x80\xED\xA0\x80"), "\xED\xB0\x80\xED\xA0\x80");
}

// A fold of a fold changes nothing, one code point folds to one, and the fold keeps what
// it found in its class: checked over every code point.
TEST(EntryNameTest, EveryCodePointFoldsToOneThatStaysPut) {
  int folded = 0;
  for (uint32_t c = 1; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string name = utf8(c);
    const std::string once = foldCase(name);
    if (once == name) continue;
    ++folded;
    ASSERT_EQ(foldCase(once), once) << "U+" << std::hex << c;
    ASSERT_TRUE(once.size() >= 1 && once.size() <= 3) << "U+" << std::hex << c;
    ASSERT_EQ(foldCase(once + name), once + once) << "U+" << std::hex << c;
  }
  // A-Z and at least the European scripts' capitals; no more than Unicode has.
  EXPECT_GT(folded, 800);
  EXPECT_LT(folded, 1500);
}

}  // namespace
