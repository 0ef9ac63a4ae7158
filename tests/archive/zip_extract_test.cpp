// Writing single entries to files, and the path join they use.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "archive_test_helpers.h"
#include "zip_builder.h"

// Entries are written with designated initializers naming only the fields a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

std::string errorOf(ZipArchive& archive, const std::string& name, const std::string& base) {
  return messageOf([&] { archive.extractEntry(name, base); });
}

std::string allByteValues() {
  std::string s;
  for (int round = 0; round < 3; ++round)
    for (int b = 0; b < 256; ++b) s += char(b);
  return s;
}

ZipBuilderEntry damaged(const std::string& name) {
  ZipBuilderEntry e;
  e.name = name;
  e.data = "damaged content";
  e.crc = 0x12345678;
  return e;
}

TEST(JoinPath, OneSlashBetweenElements) {
  EXPECT_EQ(joinPath({}), "");
  EXPECT_EQ(joinPath({"only"}), "only");
  EXPECT_EQ(joinPath({"/base", "a/b", "c"}), "/base/a/b/c");
  EXPECT_EQ(joinPath({"/base/", "x"}), "/base//x");
}

TEST(ZipExtract, WritesEntriesByteForByte) {
  ZipBuilderEntry stored;
  stored.name = "stored.bin";
  stored.data = allByteValues();
  stored.method = 0;
  ZipArchive archive;
  load(archive, ZipBuilder().file("deflated.bin", allByteValues()).add(stored).file("empty", "")
                    .build());
  TempDir dir;
  archive.extractEntry("deflated.bin", dir.path());
  archive.extractEntry("stored.bin", dir.path() + "/");  // "//" in the path, read as one
  archive.extractEntry("empty", dir.path());
  EXPECT_EQ(readFile(dir / "deflated.bin"), allByteValues());
  EXPECT_EQ(readFile(dir / "stored.bin"), allByteValues());
  EXPECT_TRUE(exists(dir / "empty"));
  EXPECT_EQ(readFile(dir / "empty"), "");
}

TEST(ZipExtract, ExistingFilesAreTruncatedAndKeepTheirMode) {
  ZipArchive archive;
  load(archive, ZipBuilder().file("f", "new").file("e", "").build());
  TempDir dir;
  writeFile(dir / "f", std::string(5000, 'o'));
  writeFile(dir / "e", "old");
  ASSERT_EQ(chmod((dir / "f").c_str(), 0640), 0);
  archive.extractEntry("f", dir.path());
  archive.extractEntry("e", dir.path());
  EXPECT_EQ(readFile(dir / "f"), "new");
  EXPECT_EQ(modeOf(dir / "f"), 0640u);
  EXPECT_EQ(readFile(dir / "e"), "");
}

TEST(ZipExtract, LookupAndReadFailuresLeaveAnEmptyFile) {
  ZipArchive archive;
  load(archive, ZipBuilder().add(damaged("bad")).file("good", "g").build());
  TempDir dir;
  writeFile(dir / "missing", "previous");
  EXPECT_EQ(errorOf(archive, "missing", dir.path()), "not found");
  EXPECT_EQ(readFile(dir / "missing"), "");
  EXPECT_EQ(errorOf(archive, "bad", dir.path()), "file couldn't be read");
  EXPECT_EQ(readFile(dir / "bad"), "");
  archive.extractEntry("good", dir.path());  // still usable
  EXPECT_EQ(readFile(dir / "good"), "g");
}

TEST(ZipExtract, UnwritableOutputIsReportedAfterLookupAndRead) {
  ZipArchive archive;
  load(archive, ZipBuilder().file("f", "content").add(damaged("bad")).dir("sub").build());
  TempDir dir;
  const std::string noDir = dir / "no/such/dir";
  EXPECT_EQ(errorOf(archive, "f", noDir), "file couldn't be written: " + noDir + "/f");
  EXPECT_EQ(errorOf(archive, "bad", noDir), "file couldn't be read");
  EXPECT_EQ(errorOf(archive, "nothing", noDir), "not found");
  // A directory standing at the path.
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  EXPECT_EQ(errorOf(archive, "sub/", dir.path()), "file couldn't be written: " + dir.path() + "/sub/");
  EXPECT_FALSE(exists(noDir));
}

TEST(ZipExtract, FullDiskIsReportedAndNothingLeaksIntoTheNextFile) {
  ZipArchive archive;
  load(archive, ZipBuilder().file("full", std::string(200000, 'F')).file("small", "s")
                    .file("next", "next bytes").build());
  TempDir dir;
  ASSERT_EQ(symlink("/dev/full", (dir / "full").c_str()), 0);
  ASSERT_EQ(symlink("/dev/full", (dir / "small").c_str()), 0);
  EXPECT_EQ(errorOf(archive, "full", dir.path()), "file couldn't be written: " + dir / "full");
  archive.extractEntry("next", dir.path());
  EXPECT_EQ(readFile(dir / "next"), "next bytes");
  // Short enough to sit in the stream's buffer until the file is closed.
  EXPECT_EQ(errorOf(archive, "small", dir.path()), "file couldn't be written: " + dir / "small");
  archive.extractEntry("next", dir.path());
  EXPECT_EQ(readFile(dir / "next"), "next bytes");
}

TEST(ZipExtract, CaseOnlyDifferencesExtractTheirOwnBytes) {
  ZipArchive archive;
  load(archive, ZipBuilder().file("README", "upper").file("readme", "lower").file("a.txt", "a")
                    .build());
  TempDir dir;
  archive.extractEntry("readme", dir.path());
  archive.extractEntry("README", dir.path());
  archive.extractEntry("A.TXT", dir.path());  // case-blind match, written under the name given
  EXPECT_EQ(readFile(dir / "readme"), "lower");
  EXPECT_EQ(readFile(dir / "README"), "upper");
  EXPECT_EQ(readFile(dir / "A.TXT"), "a");
  EXPECT_EQ(archive.readEntry(archive.entryInfo("readme")), "lower");
}

// readEntry sizes its buffer from the archive, so a caller's stale record changes nothing,
// and a size the compressed bytes cannot produce is refused before anything is allocated.
TEST(ZipExtract, ReadEntryTrustsTheArchiveNotTheRecordItIsGiven) {
  ZipArchive archive;
  const std::string zeros(1 << 16, '\0');
  const uint32_t packed = uint32_t(deflateRaw(zeros).size());
  load(archive, ZipBuilder()
                    .file("f", "the bytes")
                    .add({.name = "bomb", .data = zeros, .uncompressedSize = packed * 1032 + 1})
                    .build());
  ZipEntryInfo info = archive.entryInfo("f");
  info.uncompressedSize = 1000;
  info.compressedSize = 1;
  EXPECT_EQ(archive.readEntry(info), "the bytes");
  try {
    archive.readEntry(archive.entryInfo("bomb"));
    ADD_FAILURE() << "an impossible size was read";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "file couldn't be read");
  }
  info.index = 7;
  EXPECT_THROW(archive.readEntry(info), std::runtime_error);
}

TEST(ZipExtract, LongNamesExtract) {
  const std::string name = std::string(200, 'd') + "/" + std::string(200, 'f');
  ZipArchive archive;
  load(archive, ZipBuilder().file(name, "deep").build());
  TempDir dir;
  ASSERT_EQ(mkdir((dir / std::string(200, 'd')).c_str(), 0755), 0);
  ASSERT_EQ(archive.names(), std::vector<std::string>{name});  // listed whole
  archive.extractEntry(name, dir.path());
  EXPECT_EQ(readFile(dir / name), "deep");
}

}  // namespace
