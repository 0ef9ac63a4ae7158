// Loading: finding the archive at the end of a file, cutting its comment, reading mode.
#include "zip_archive.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "archive_test_helpers.h"
#include "zip_builder.h"

namespace {

std::string stub() {
  std::string s = "\x7f" "ELF";
  for (int i = 0; i < 5000; ++i) s += char(i * 7 % 251);
  return s;
}

TEST(ZipArchiveLoad, FreshArchiveIsTheEmptyArchive) {
  ZipArchive archive;
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_INVALID);
  EXPECT_EQ(archive.comment(), "");
  archive.beginReading();
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_READING);
  archive.beginReading();  // already reading: stays so
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_READING);
  EXPECT_TRUE(archive.names().empty());
}

TEST(ZipArchiveLoad, PlainInfoZipArchiveLoadsFromItsFirstByte) {
  TempDir dir;
  writeFile(dir / "a.txt", "alpha\n");
  writeFile(dir / "b.bin", std::string(3000, 'b'));
  runIn(dir, "zip -q plain.zip a.txt b.bin");
  ZipArchive archive;
  ASSERT_TRUE(archive.loadFile(dir / "plain.zip"));
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_READING);
  EXPECT_EQ(archive.comment(), "");
  EXPECT_EQ(archive.names(), (std::vector<std::string>{"a.txt", "b.bin"}));
  EXPECT_EQ(archive.entries()[0].localHeaderOffset, 0u);
  EXPECT_EQ(archive.readEntry(archive.entryInfo("a.txt")), "alpha\n");
  EXPECT_TRUE(sameBytes(archive.readEntry(archive.entryInfo("b.bin")), std::string(3000, 'b')));
}

TEST(ZipArchiveLoad, AppendedArchiveLoadsWithoutStubOrComment) {
  TempDir dir;
  runIn(dir,
      PYTHON + " -c \"import zipfile; z = zipfile.ZipFile('p.zip', 'w', zipfile.ZIP_DEFLATED); "
      "z.writestr('x/y.txt', 'why' * 100); z.comment = b'\\$AUTORUN\\$>./go \\x00 \\xff  '; "
      "z.close()\"");
  const std::string zip = readFile(dir / "p.zip");
  writeFile(dir / "installer", stub() + zip);
  ZipArchive archive;
  ASSERT_TRUE(archive.loadFile(dir / "installer"));
  const std::string comment("$AUTORUN$>./go \0 \xff  ", 20);
  EXPECT_EQ(archive.comment(), comment);
  // Offsets count from the archive's first local header, past the stub.
  EXPECT_EQ(archive.entries()[0].localHeaderOffset, 0u);
  std::string why;
  for (int i = 0; i < 100; ++i) why += "why";
  EXPECT_TRUE(sameBytes(archive.readEntry(archive.entryInfo("x/y.txt")), why));
}

// Large archives are read in several parts; every byte must land in its place.
TEST(ZipArchiveLoad, ArchiveOfManyMiBIsHeldByteForByte) {
  std::string data((9u << 20) + 77, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char((i * 31 + i / 4093) % 251);
  ZipBuilderEntry entry;
  entry.name = "big.bin";
  entry.data = data;
  entry.method = 0;
  const std::string zip = ZipBuilder().add(entry).build();
  TempDir dir;
  writeFile(dir / "installer", stub() + zip);
  ZipArchive archive;
  ASSERT_TRUE(archive.loadFile(dir / "installer"));
  EXPECT_TRUE(sameBytes(archive.readEntry(archive.entryInfo("big.bin")), data));
}

TEST(ZipArchiveLoad, ArchiveAdjustedByZipDashAStartsAtFileStart) {
  TempDir dir;
  writeFile(dir / "data.txt", "payload");
  runIn(dir, "echo '$AUTORUN$>true' | zip -q -z a.zip data.txt");
  writeFile(dir / "sfx", stub() + readFile(dir / "a.zip"));
  runIn(dir, "zip -q -A sfx");
  const std::string file = readFile(dir / "sfx");
  ZipArchive archive;
  ASSERT_TRUE(archive.loadFile(dir / "sfx"));
  EXPECT_EQ(archive.comment(), "$AUTORUN$>true");
  // Offsets count from the file's first byte: the archive starts with the stub.
  EXPECT_EQ(archive.entries()[0].localHeaderOffset, stub().size());
  EXPECT_EQ(archive.readEntry(archive.entryInfo("data.txt")), "payload");
}

TEST(ZipArchiveLoad, FilesWithoutArchiveChangeNothing) {
  TempDir dir;
  ZipArchive archive;
  EXPECT_FALSE(archive.loadFile(dir / "missing"));
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_INVALID);
  EXPECT_TRUE(archive.names().empty());
  // This archive stays loaded through every refusal below.
  writeFile(dir / "kept.zip", ZipBuilder().file("kept", "k").comment("c").build());
  ASSERT_TRUE(archive.loadFile(dir / "kept.zip"));

  EXPECT_FALSE(archive.loadFile(dir / "missing"));
  EXPECT_FALSE(archive.loadFile(dir.path()));
  for (const std::string& tiny : {std::string(), std::string("P"), std::string("PK\x05\x06", 4)}) {
    writeFile(dir / "tiny", tiny);
    EXPECT_FALSE(archive.loadFile(dir / "tiny")) << tiny.size();
  }
  writeFile(dir / "text", std::string(100000, 'x'));
  EXPECT_FALSE(archive.loadFile(dir / "text"));
  // A record further than 65,557 bytes from the end is out of reach.
  writeFile(dir / "trailed", ZipBuilder().file("f", "f").build() + std::string(65536, 'z'));
  EXPECT_FALSE(archive.loadFile(dir / "trailed"));

  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_READING);
  EXPECT_EQ(archive.names(), std::vector<std::string>{"kept"});
  EXPECT_EQ(archive.readEntry(archive.entryInfo("kept")), "k");
  EXPECT_EQ(archive.comment(), "c");
}

TEST(ZipArchiveLoad, CommentLengthIsUnsigned) {
  for (size_t length : {200u, 0x80FFu}) {
    std::string text(length, 'c');
    text.back() = '!';
    TempDir dir;
    writeFile(dir / "z", stub() + ZipBuilder().file("f", "data").comment(text).build());
    ZipArchive archive;
    ASSERT_TRUE(archive.loadFile(dir / "z")) << length;
    EXPECT_EQ(archive.comment(), text);
    EXPECT_EQ(archive.names(), std::vector<std::string>{"f"});
  }
}

TEST(ZipArchiveLoad, LongestCommentPutsRecordAtWindowStart) {
  const std::string text(65535, '#');
  const std::string zip = ZipBuilder().file("f", std::string(2000, 'q')).comment(text).build();
  TempDir dir;
  writeFile(dir / "z", stub() + zip);
  ASSERT_GT(zip.size(), 65557u);
  ZipArchive archive;
  ASSERT_TRUE(archive.loadFile(dir / "z"));
  EXPECT_EQ(archive.comment(), text);
  EXPECT_TRUE(sameBytes(archive.readEntry(archive.entryInfo("f")), std::string(2000, 'q')));
}

TEST(ZipArchiveLoad, SignatureInsideCommentIsTakenAsTheRecord) {
  // A complete empty-archive record with a 5-byte comment hides in the real comment: the
  // last record in the file is the one read, and its archive holds nothing.
  const std::string fake = std::string("PK\x05\x06", 4) + std::string(16, '\0') + le16(5);
  const std::string zip = ZipBuilder().file("real", "r").comment("abc" + fake + "hello").build();
  TempDir dir;
  writeFile(dir / "installer", stub() + zip);
  ZipArchive archive;
  ASSERT_TRUE(archive.loadFile(dir / "installer"));
  EXPECT_EQ(archive.comment(), "hello");
  EXPECT_TRUE(archive.names().empty());
  EXPECT_EQ(messageOf([&] { archive.entryInfo("real"); }), "not found");
  // A record whose directory would start inside the comment is refused, not read.
  const std::string pointing = std::string("PK\x05\x06", 4) + std::string(4, '\0') +
                               le16(1) + le16(1) + le32(46) + le32(0) + le16(0);
  writeFile(dir / "pointing", stub() + ZipBuilder().file("real", "r").comment("x" + pointing).build());
  EXPECT_EQ(messageOf([&] { archive.loadFile(dir / "pointing"); }), "bad zip");
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_INVALID);
}

TEST(ZipArchiveLoad, RecordsCutShortAreBadZip) {
  const std::string zip = ZipBuilder().file("f", "data").build();
  // The end record lacks its last bytes.
  std::istringstream cut(zip.substr(0, zip.size() - 3));
  ZipArchive archive;
  EXPECT_EQ(messageOf([&] { archive.loadStream(cut); }), "bad zip");
  // A stray signature a few bytes before the end.
  std::istringstream stray(zip + "PK\x05\x06" + "xy");
  EXPECT_EQ(messageOf([&] { archive.loadStream(stray); }), "bad zip");
  // A comment length that runs past the end: nothing is cut.
  std::string longer = ZipBuilder().file("f", "data").comment("abc").build();
  longer[longer.size() - 5] = 10;
  std::istringstream past(longer);
  EXPECT_EQ(messageOf([&] { archive.loadStream(past); }), "bad zip");
  EXPECT_EQ(archive.comment(), "");
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_INVALID);
}

TEST(ZipArchiveLoad, StartBeforeTheStreamIsBadZip) {
  std::string zip = ZipBuilder().file("f", "data").build();
  zip.replace(zip.size() - 6, 4, le32(1000000));  // central directory offset
  std::istringstream in(zip);
  ZipArchive archive;
  EXPECT_EQ(messageOf([&] { archive.loadStream(in); }), "bad zip");
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_INVALID);
  // The same from a mapped file.
  TempDir dir;
  writeFile(dir / "z", zip);
  EXPECT_EQ(messageOf([&] { archive.loadFile(dir / "z"); }), "bad zip");
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_INVALID);
  EXPECT_EQ(messageOf([&] { archive.names(); }), "bad zip");
}

TEST(ZipArchiveLoad, RejectedBytesStayHeldAndListingRetries) {
  std::string zip = ZipBuilder().file("f", "data").comment("note").build();
  const size_t central = zip.find("PK\x01\x02");
  zip[central + 3] = 9;  // no longer a central header
  TempDir dir;
  writeFile(dir / "z", zip);
  ZipArchive archive;
  EXPECT_EQ(messageOf([&] { archive.loadFile(dir / "z"); }), "bad zip");
  EXPECT_EQ(archive.comment(), "note");
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_INVALID);
  EXPECT_EQ(messageOf([&] { archive.names(); }), "bad zip");
}

TEST(ZipArchiveLoad, LoadReplacesAndResetEmpties) {
  ZipArchive archive;
  std::istringstream first(ZipBuilder().file("one", "1").comment("c1").build());
  std::istringstream second(ZipBuilder().file("two", "2").build());
  ASSERT_TRUE(archive.loadStream(first));
  ASSERT_TRUE(archive.loadStream(second));
  EXPECT_EQ(archive.names(), std::vector<std::string>{"two"});
  EXPECT_EQ(archive.comment(), "");
  archive.reset();
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_INVALID);
  EXPECT_EQ(archive.comment(), "");
  EXPECT_TRUE(archive.names().empty());
}

}  // namespace
