// Hostile and unusual archives: nothing lands outside the target, the target is never
// removed, every entry lands or the extraction fails naming it.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "extract_helpers.h"
#include "extractor.h"
#include "zip_builder.h"

namespace {

ZipBuilderEntry entry(const std::string& name, const std::string& data, uint32_t attributes,
                      uint16_t versionMadeBy = 0x031E) {
  ZipBuilderEntry e;
  e.name = name;
  e.data = data;
  e.externalAttributes = attributes;
  e.versionMadeBy = versionMadeBy;
  return e;
}

class ExtractorSafetyTest : public ::testing::Test {
 protected:
  // Extracts `archive` into the target; returns the error message, or "" on success.
  std::string extract(const ZipBuilder& archive) {
    Extractor extractor(saveArchive(files / "a.zip", archive.build()));
    extractor.addListener(listener);
    std::string message = messageOf([&] { extractor.extractAll(target.path()); });
    return message == "<no exception>" ? "" : message;
  }
  void makeDir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }
  void makeLink(const std::string& to, const std::string& at) {
    ASSERT_EQ(symlink(to.c_str(), at.c_str()), 0) << at;
  }

  // Target and outside share one scratch directory, so that even an escape stays in it.
  struct Scratch {
    explicit Scratch(const std::string& path) : dir(path) { mkdir(path.c_str(), 0755); }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }
    const std::string& path() const { return dir; }
    std::string dir;
  };

  UmaskScope mask{022};
  TempDir files;
  Scratch target{files / "target"}, outside{files / "outside"};
  std::shared_ptr<RecordingListener> listener = std::make_shared<RecordingListener>();
};

TEST_F(ExtractorSafetyTest, DotDotNamesAreRefusedBeforeAnythingIsTouched) {
  makeDir(target / "top");
  writeFile(target / "top/stray", "s");
  auto before = snapshot(target.path());
  for (std::string bad : {"../evil", "top/../../evil", "top/..", "/.."}) {
    EXPECT_EQ(extract(ZipBuilder().dir("top").file("top/ok", "1").file(bad, "x")),
              bad + ": refused: \"..\" in an entry name");
    EXPECT_EQ(snapshot(target.path()), before) << bad;
  }
  EXPECT_TRUE(listener->paths.empty());
  EXPECT_FALSE(exists(files / "evil"));
}

TEST_F(ExtractorSafetyTest, NamesRewrittenInTheFileMeanwhileAreCheckedWhereUsed) {
  // Records are read from the installer file as they are used: one rewritten in place
  // after the first entry is placed names ../evil1 by then.
  const std::string path =
      saveArchive(files / "a.zip", ZipBuilder().dir("top").file("top/okay", "x").build());
  Extractor extractor(path);
  bool rewritten = false;
  listener->check = [&](const std::string&) {
    if (rewritten) return;
    rewritten = true;
    std::string bytes = readFile(path);
    const size_t at = bytes.rfind("top/okay");  // the central directory's copy
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 8, "../evil1");
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    ASSERT_EQ(std::fclose(file), 0);
  };
  extractor.addListener(listener);
  EXPECT_EQ(messageOf([&] { extractor.extractAll(target.path()); }),
            "../evil1: refused: \"..\" in an entry name");
  EXPECT_FALSE(exists(files / "evil1"));
  EXPECT_FALSE(exists(target / "top"));
}

TEST_F(ExtractorSafetyTest, NamesOfTheTargetItselfRemoveNothing) {
  writeFile(target / "stray", "s");
  chmod(target.path().c_str(), 0751);
  for (const ZipBuilder& archive :
       {ZipBuilder().add(entry("", "", 040700u << 16)), ZipBuilder().dir("/", 040700),
        ZipBuilder().dir("./", 040700).file("f", "1").dir("./", 040711)}) {
    EXPECT_EQ(extract(archive), "");
    EXPECT_TRUE(exists(target / "stray"));
    EXPECT_EQ(modeOf(target.path()), 0751u);
  }
  EXPECT_EQ(extract(ZipBuilder().file(".", "x")),
            ".: refused: a file entry names the target itself");
  EXPECT_EQ(listener->paths.front(), target.path());
}

TEST_F(ExtractorSafetyTest, LinksLeadingOutsideAreRefused) {
  makeDir(outside / "sub");
  writeFile(outside / "victim", "v");
  makeLink(outside.path(), target / "out");
  makeLink("../outside/missing", target / "nowhere");
  for (std::string name : {"out/evil", "out/sub/", "out/newdir/f", "nowhere/f"}) {
    std::string error = extract(ZipBuilder().dir("top").file("top/f", "1").file(name, "x"));
    EXPECT_EQ(error.rfind(name + ": " + target / "", 0), 0u) << error;
    EXPECT_NE(error.find("symbolic link leads"), std::string::npos) << error;
  }
  EXPECT_EQ(listener->paths.size(), 8u) << "told about a refused entry";
  EXPECT_EQ(snapshot(outside.path()),
            (std::map<std::string, std::string>{{"sub", "dir 0755"}, {"victim", "file 0644 v"}}));
}

// A link standing where a file entry goes is replaced, never written through.
TEST_F(ExtractorSafetyTest, LinksWhereFilesGoAreReplaced) {
  writeFile(outside / "victim", "v");
  makeLink(outside / "victim", target / "victim");
  makeLink(outside / "new", target / "dangling");
  EXPECT_EQ(extract(ZipBuilder().dir("top").file("victim", "x").file("dangling", "y")), "");
  EXPECT_EQ(snapshot(outside.path()), (std::map<std::string, std::string>{{"victim", "file 0644 v"}}));
  EXPECT_EQ(readFile(target / "victim"), "x");
  EXPECT_EQ(readFile(target / "dangling"), "y");
}

TEST_F(ExtractorSafetyTest, TopLevelRemovalStaysInside) {
  makeDir(outside / "sub");
  writeFile(outside / "sub/keep", "k");
  makeLink(outside.path(), target / "out");
  // A link where the first entry belongs goes, not what it points to.
  EXPECT_EQ(extract(ZipBuilder().dir("out").file("out/f", "1")), "");
  EXPECT_EQ(snapshot(target.path()),
            (std::map<std::string, std::string>{{"out", "dir 0755"}, {"out/f", "file 0644 1"}}));
  // A parent leading outside: refused before anything is removed.
  ASSERT_EQ(runCommand("rm -r " + shellQuote(target / "out")).status, 0);
  makeLink(outside.path(), target / "out");
  EXPECT_NE(extract(ZipBuilder().dir("out/sub")).find("symbolic link leads outside"),
            std::string::npos);
  EXPECT_TRUE(exists(outside / "sub/keep"));
}

TEST_F(ExtractorSafetyTest, LinksInsideAreFollowed) {
  makeDir(target / "real");
  makeLink("real", target / "alias");
  EXPECT_EQ(extract(ZipBuilder().dir("top").file("alias/f", "1").dir("alias/d/")), "");
  EXPECT_EQ(readFile(target / "real/f"), "1");
  EXPECT_EQ(listener->paths,
            (std::vector<std::string>{target / "top", target / "real/f", target / "real/d"}));
}

TEST_F(ExtractorSafetyTest, MissingParentsAreCreated) {
  EXPECT_EQ(extract(ZipBuilder().file("a/b/f", "1", 0100600).file("a/c/g", "2")), "");
  EXPECT_EQ(listener->paths, (std::vector<std::string>{target / "a/b/f", target / "a/c/g"}));
  EXPECT_EQ(snapshot(target.path()),
            (std::map<std::string, std::string>{{"a", "dir 0755"},
                                                {"a/b", "dir 0755"},
                                                {"a/b/f", "file 0600 1"},
                                                {"a/c", "dir 0755"},
                                                {"a/c/g", "file 0644 2"}}));
}

TEST_F(ExtractorSafetyTest, WhatCannotBeCreatedEndsTheExtraction) {
  EXPECT_EQ(extract(ZipBuilder().file("f", "1").file("f/g", "2").file("h", "3")),
            "f/g: " + target / "f: Not a directory");
  EXPECT_EQ(extract(ZipBuilder().file("f", "1").dir("f/")), "f/: " + target / "f: File exists");
  std::string error = extract(ZipBuilder().dir("d").file("d", "2").file("h", "3"));
  EXPECT_EQ(error.rfind("d: file couldn't be written: ", 0), 0u) << error;
  EXPECT_FALSE(exists(target / "h"));
}

TEST_F(ExtractorSafetyTest, ReadOnlyDirectoriesKeepTheirContent) {
  EXPECT_EQ(extract(ZipBuilder().dir("ro", 040555).dir("ro/in", 040500).file("ro/in/f", "1")), "");
  EXPECT_EQ(snapshot(target.path()),
            (std::map<std::string, std::string>{
                {"ro", "dir 0555"}, {"ro/in", "dir 0500"}, {"ro/in/f", "file 0644 1"}}));
}

TEST_F(ExtractorSafetyTest, DamagedEntryStopsTheExtraction) {
  makeDir(target / "beside");
  ZipBuilderEntry damaged = entry("top/bad", "payload", 0100644u << 16);
  damaged.crc = 1;
  EXPECT_EQ(extract(ZipBuilder()
                        .dir("top", 040500)
                        .file("top/a", "1")
                        .file("beside/b", "2")
                        .add(damaged)
                        .file("top/c", "3")),
            "top/bad: file couldn't be read: CRC mismatch");
  EXPECT_EQ(listener->paths.back(), target / "top/bad");
  // What landed outside the first entry's place stays; the place itself never appeared.
  EXPECT_EQ(snapshot(target.path()),
            (std::map<std::string, std::string>{{"beside", "dir 0755"},
                                                {"beside/b", "file 0644 2"}}));
}

TEST_F(ExtractorSafetyTest, WindowsArchivesKeepCreationModes) {
  // FAT host, only the DOS directory and archive bits.
  EXPECT_EQ(
      extract(ZipBuilder().add(entry("w/", "", 0x10, 0x0014)).add(entry("w/f", "1", 0x20, 0x0014))),
      "");
  EXPECT_EQ(snapshot(target.path()),
            (std::map<std::string, std::string>{{"w", "dir 0755"}, {"w/f", "file 0644 1"}}));
}

TEST_F(ExtractorSafetyTest, UnresolvablePathsAreErrors) {
  makeLink("loop", target / "loop");
  EXPECT_EQ(extract(ZipBuilder().dir("top").file("loop/f", "1")),
            "loop/f: " + target / "loop: Too many levels of symbolic links");
}

// Everything goes through descriptors, so no path the kernel sees is ever this long.
TEST_F(ExtractorSafetyTest, PathsLongerThanPathMaxWork) {
  std::string deep = target.path();
  while (deep.size() < 3900) {
    deep += "/" + std::string(200, 'd');
    makeDir(deep);
  }
  std::string name = std::string(150, 'n') + "/" + std::string(150, 'm');
  Extractor extractor(saveArchive(files / "deep.zip", ZipBuilder().dir("top").file(name, "x").build()));
  extractor.addListener(listener);
  extractor.extractAll(deep);
  EXPECT_EQ(listener->paths.back(), deep + "/" + name);
  ASSERT_GT(listener->paths.back().size(), size_t(PATH_MAX));
  CwdScope cwd(deep);
  EXPECT_EQ(readFile(name), "x");
}

TEST_F(ExtractorSafetyTest, UnknownWorkingDirectoryIsAnError) {
  Extractor extractor(saveArchive(files / "a.zip", ZipBuilder().file("f", "1").build()));
  makeDir(target / "gone");
  CwdScope cwd(target / "gone");
  ASSERT_EQ(rmdir((target / "gone").c_str()), 0);
  EXPECT_THROW(extractor.extractHere(), std::runtime_error);
}

}  // namespace
