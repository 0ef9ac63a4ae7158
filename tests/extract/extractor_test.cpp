// The extraction as designed: order per entry, listeners, top-level removal, modes, paths.
#include "extractor.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "extract_helpers.h"
#include "zip_builder.h"

namespace {

class ExtractorTest : public ::testing::Test {
 protected:
  // An Extractor over `archive`, with `listener` registered.
  std::unique_ptr<Extractor> extractorFor(const ZipBuilder& archive) {
    auto extractor = std::make_unique<Extractor>(saveArchive(files / "a.zip", archive.build()));
    extractor->addListener(listener);
    return extractor;
  }

  UmaskScope mask{022};
  TempDir files, target;
  std::shared_ptr<RecordingListener> listener = std::make_shared<RecordingListener>();
};

TEST_F(ExtractorTest, EmptyOrMissingArchiveDoesNothing) {
  writeFile(target / "keep", "k");
  extractorFor(ZipBuilder())->extractAll(target.path());
  Extractor missing(files / "no-such-file");
  missing.addListener(listener);
  missing.extractAll(target.path());
  EXPECT_TRUE(listener->paths.empty());
  EXPECT_EQ(snapshot(target.path()), (std::map<std::string, std::string>{{"keep", "file 0644 k"}}));
}

TEST_F(ExtractorTest, DamagedArchiveNamesItsFile) {
  std::string bytes = ZipBuilder().file("a", "x").build();
  bytes[bytes.find("PK\x01\x02") + 3] = 9;  // no central directory header any more
  std::string path = saveArchive(files / "bad.zip", bytes);
  try {
    Extractor extractor(path);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), path + ": bad zip");
  }
}

TEST_F(ExtractorTest, ListenersAreToldInOrderBeforeEachEntryIsWritten) {
  auto second = std::make_shared<RecordingListener>();
  std::vector<std::string> calls;
  listener->check = [&](const std::string& p) {
    calls.push_back("1 " + p);
    EXPECT_FALSE(exists(p));
  };
  second->check = [&](const std::string& p) { calls.push_back("2 " + p); };
  auto extractor = extractorFor(ZipBuilder().dir("top").file("top/f", "data"));
  extractor->addListener(second);
  extractor->addListener(listener);
  extractor->extractAll(target.path());
  std::string top = target / "top", f = target / "top/f";
  EXPECT_EQ(calls, (std::vector<std::string>{"1 " + top, "2 " + top, "1 " + top, "1 " + f, "2 " + f,
                                             "1 " + f}));
}

TEST_F(ExtractorTest, ModesLinksAndLeadingSlash) {
  std::string binary("x\0y", 3);
  ZipBuilderEntry link;
  link.name = "top/link";
  link.data = "f";
  link.externalAttributes = 0120777u << 16;
  extractorFor(ZipBuilder()
                   .dir("top", 040750)
                   .file("top/f", binary, 0100600)
                   .file("top/suid", "s", 0104755)
                   .add(link)
                   .file("/top/abs", "a", 0100640))
      ->extractAll(target.path());
  EXPECT_EQ(snapshot(target.path()),
            (std::map<std::string, std::string>{{"top", "dir 0750"},
                                                {"top/f", "file 0600 " + binary},
                                                {"top/suid", "file 4755 s"},
                                                {"top/link", "file 0777 f"},
                                                {"top/abs", "file 0640 a"}}));
}

TEST_F(ExtractorTest, ReextractionReplacesTheTopDirectory) {
  auto extractor =
      extractorFor(ZipBuilder().dir("top").dir("top/sub", 040700).file("top/sub/f", "1"));
  extractor->extractAll(target.path());
  auto first = snapshot(target.path());
  writeFile(target / "top/sub/stray", "old");
  writeFile(target / "beside", "b");
  extractor->extractAll(target.path());
  first["beside"] = "file 0644 b";
  EXPECT_EQ(snapshot(target.path()), first);
}

TEST_F(ExtractorTest, DirectoryWhereTheFirstFileBelongsIsReplaced) {
  ASSERT_EQ(mkdir((target / "f").c_str(), 0755), 0);
  writeFile(target / "f/old", "o");
  extractorFor(ZipBuilder().file("f", "new").dir("later"))->extractAll(target.path());
  ASSERT_EQ(mkdir((target / "d").c_str(), 0755), 0);
  writeFile(target / "d/keep", "k");
  extractorFor(ZipBuilder().dir("top").dir("d", 040700))->extractAll(target.path());
  EXPECT_EQ(snapshot(target.path()),
            (std::map<std::string, std::string>{{"f", "file 0644 new"},
                                                {"later", "dir 0755"},
                                                {"top", "dir 0755"},
                                                {"d", "dir 0700"},
                                                {"d/keep", "file 0644 k"}}));
}

TEST_F(ExtractorTest, RelativeTargetAndWorkingDirectoryGiveAbsolutePaths) {
  auto extractor = extractorFor(ZipBuilder().file("f", "x"));
  std::string parent = target.path().substr(0, target.path().rfind('/'));
  std::string leaf = target.path().substr(parent.size() + 1);
  {
    CwdScope cwd(parent);
    extractor->extractAll("./" + leaf + "/");
  }
  {
    CwdScope cwd(target.path());
    extractor->extractHere();
  }
  EXPECT_EQ(listener->paths, (std::vector<std::string>{target / "f", target / "f"}));
}

TEST_F(ExtractorTest, RootTargetGivesSlashName) {
  // Run in a child whose root is a scratch directory: its lock on "/" is near no other
  // installer on this machine, and nothing can land in the real root. The listener throws
  // before anything is written.
  saveArchive(target / "a.zip", ZipBuilder().file("name", "x").build());
  const std::string seen = inChild([&]() -> std::string {
    // An unprivileged run takes chroot from a user namespace of its own.
    if (geteuid() != 0 && unshare(CLONE_NEWUSER) != 0) return "skip: no user namespace";
    if (chroot(target.path().c_str()) != 0 || chdir("/") != 0) return "skip: chroot refused";
    Extractor extractor("/a.zip");
    extractor.addListener(listener);
    listener->check = [](const std::string&) { throw std::runtime_error("stop"); };
    std::string text = messageOf([&] { extractor.extractAll("/"); });
    for (const std::string& path : listener->paths) text += " " + path;
    if (exists("/name")) text += " written";
    return text;
  });
  if (seen.rfind("skip: ", 0) == 0) GTEST_SKIP() << seen.substr(6);
  EXPECT_EQ(seen, "stop /name");
}

}  // namespace
