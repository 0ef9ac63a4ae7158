// Listing: records in central-directory order, names, lookup by name.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "archive_test_helpers.h"
#include "zip_builder.h"

namespace {

std::string notFoundMessage(ZipArchive& archive, const std::string& name) {
  return messageOf([&] { archive.entryInfo(name); });
}

uint16_t dosDate(int year, int month, int day) {
  return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

uint16_t dosTime(int hour, int minute, int secondsField) {
  return static_cast<uint16_t>((hour << 11) | (minute << 5) | secondsField);
}

TEST(ZipListing, EmptyArchivesListNothing) {
  ZipArchive fresh;
  EXPECT_TRUE(fresh.entries().empty());
  EXPECT_EQ(fresh.mode(), MZ_ZIP_MODE_READING);
  EXPECT_TRUE(fresh.names().empty());
  EXPECT_EQ(notFoundMessage(fresh, "anything"), "not found");

  ZipArchive loaded;
  load(loaded, ZipBuilder().comment("only a comment").build());
  EXPECT_TRUE(loaded.entries().empty());
  EXPECT_TRUE(loaded.names().empty());
}

TEST(ZipListing, CentralDirectoryOrderWithIndexes) {
  ZipArchive archive;
  load(archive, ZipBuilder().file("zeta", "z").dir("a").file("a/b", "ab").file("B", "").build());
  const std::vector<std::string> order = {"zeta", "a/", "a/b", "B"};
  EXPECT_EQ(archive.names(), order);
  const ZipEntries list = archive.entries();
  ASSERT_EQ(list.size(), order.size());
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i].name, order[i]);
    EXPECT_EQ(list[i].index, i);
  }
  // Nothing cached: a reset archive lists nothing.
  archive.reset();
  EXPECT_TRUE(archive.names().empty());
}

TEST(ZipListing, InfoZipUnixModes) {
  TempDir dir;
  runIn(dir, "mkdir d && echo x > d/f.txt && chmod 775 d && chmod 644 d/f.txt && zip -q -r a.zip d");
  ZipArchive archive;
  ASSERT_TRUE(archive.loadFile(dir / "a.zip"));
  const ZipEntries list = archive.entries();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "d/");
  EXPECT_EQ(list[0].externalAttributes >> 16, 0x41FDu);
  EXPECT_EQ(list[1].name, "d/f.txt");
  EXPECT_EQ(list[1].externalAttributes >> 16, 0x81A4u);
  EXPECT_EQ(list[1].versionMadeBy >> 8, 3);  // Unix
}

TEST(ZipListing, RecordCopiesEveryField) {
  ZipBuilderEntry first;
  first.name = "first";
  first.data = "12345";
  first.method = 0;
  ZipBuilderEntry e;
  e.name = "docs/read.txt";
  e.data = "hello hello hello hello";
  e.externalAttributes = (0100600u << 16) | 0x20;
  e.versionMadeBy = 0x0314;
  e.versionNeeded = 20;
  e.flags = 0x0800;
  e.internalAttributes = 1;
  e.dosDate = dosDate(2021, 6, 15);
  e.dosTime = dosTime(13, 45, 29);
  e.comment = std::string(300, 'c') + "kept whole";
  // An extra field between name and comment must not shift the comment.
  e.extra = std::string("UT\x05\x00\x01\x00\x00\x00\x00", 9);
  ZipArchive archive;
  load(archive, ZipBuilder().add(first).add(e).build());

  const ZipEntryInfo info = archive.entryInfo("docs/read.txt");
  EXPECT_EQ(info.name, e.name);
  EXPECT_EQ(info.comment, e.comment);
  EXPECT_EQ(info.method, 8);
  EXPECT_EQ(info.versionMadeBy, 0x0314);
  EXPECT_EQ(info.versionNeeded, 20);
  EXPECT_EQ(info.flags, 0x0800);
  EXPECT_EQ(info.index, 1u);
  EXPECT_EQ(info.internalAttributes, 1u);
  EXPECT_EQ(info.externalAttributes, (0100600u << 16) | 0x20);
  EXPECT_EQ(info.localHeaderOffset, 30u + 5 + 5);
  EXPECT_EQ(info.crc32, crc32Of(e.data));
  EXPECT_EQ(info.compressedSize, deflateRaw(e.data).size());
  EXPECT_EQ(info.uncompressedSize, e.data.size());
  EXPECT_EQ(std::vector<int>({info.year, info.month, info.day, info.hour, info.minute, info.second}),
            std::vector<int>({2021, 6, 15, 13, 45, 58}));
}

TEST(ZipListing, EntryInfoMatchesWholeNamesCaseBlind) {
  ZipArchive archive;
  load(archive, ZipBuilder().dir("Docs").file("Docs/ReadMe.TXT", "r").build());
  EXPECT_EQ(archive.entryInfo("docs/readme.txt").name, "Docs/ReadMe.TXT");
  EXPECT_EQ(archive.entryInfo("DOCS/").index, 0u);
  EXPECT_EQ(notFoundMessage(archive, "ReadMe.TXT"), "not found");  // no directory part
  EXPECT_EQ(notFoundMessage(archive, "Docs"), "not found");
  EXPECT_EQ(notFoundMessage(archive, "Docs/ReadMe.TXT.bak"), "not found");
  EXPECT_EQ(notFoundMessage(archive, ""), "not found");
}

TEST(ZipListing, EntryInfoPrefersTheExactName) {
  for (bool upperFirst : {true, false}) {
    ZipBuilder builder;
    if (upperFirst) builder.file("README", "upper").file("readme", "lower");
    else builder.file("readme", "lower").file("README", "upper");
    ZipArchive archive;
    load(archive, builder.build());
    EXPECT_EQ(archive.entryInfo("README").name, "README");
    EXPECT_EQ(archive.entryInfo("readme").name, "readme");
    EXPECT_EQ(archive.entryInfo("README").index, upperFirst ? 0u : 1u);
    const std::string blind = archive.entryInfo("ReadMe").name;
    EXPECT_TRUE(blind == "README" || blind == "readme") << blind;
  }
}

}  // namespace
