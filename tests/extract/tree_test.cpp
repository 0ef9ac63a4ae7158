// Where a tree's entries land: in the stage below the first entry's place, in the target
// elsewhere, and nothing of the new tree visible in the place before finish().
#include "tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "entry_name.h"
#include "extract_helpers.h"

namespace {

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir((files / "target").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((files / "target/app").c_str(), 0755), 0);
    writeFile(files / "target/app/old", "old");
  }

  // Writes `content` at the place of `name` as a file entry would (there, whole).
  void writeAt(Tree& tree, const std::string& name, const std::string& content) {
    const Place place = tree.placeOf(nameComponents(name), false);
    const int fd = openat(place.dir->fd(), place.name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << place.shown;
    ASSERT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
    ASSERT_EQ(close(fd), 0);
  }

  std::string targetPath() { return files / "target"; }

  UmaskScope mask{022};
  TempDir files;
  Housekeeping housekeeping;
  const std::function<void()> tick = [] {};
};

TEST_F(TreeTest, EntriesBelowThePlaceGoToItsStageAndShowOnlyOnceFinished) {
  const TargetDirectory target(targetPath());
  const std::map<std::string, std::string> before = snapshot(targetPath() + "/app");
  Tree tree(target, "app/", housekeeping, tick);

  const Place app = tree.placeOf({"app"}, true);
  EXPECT_TRUE(app.standing);
  EXPECT_EQ(app.shown, targetPath() + "/app");
  const Place inside = tree.placeOf({"app", "bin", "run"}, false);
  EXPECT_TRUE(inside.unseen) << "made in the stage, where nobody sees it half written";
  EXPECT_EQ(inside.shown, targetPath() + "/app/bin/run");
  const Place beside = tree.placeOf({"notes", "readme"}, false);
  EXPECT_FALSE(beside.unseen) << "outside the place, where the user may look meanwhile";
  EXPECT_EQ(beside.shown, targetPath() + "/notes/readme");

  writeAt(tree, "app/bin/run", "new");
  EXPECT_EQ(snapshot(targetPath() + "/app"), before) << "the previous installation changed";
  bool verified = false;
  tree.finish([&] { verified = true; }, tick);
  EXPECT_TRUE(verified);
  EXPECT_EQ(readFile(targetPath() + "/app/bin/run"), "new");
  EXPECT_FALSE(exists(targetPath() + "/app/old")) << "the previous installation is still in the place";
  housekeeping.runNow();
  for (const auto& [path, what] : snapshot(targetPath()))
    EXPECT_EQ(path.find(".sfx-"), std::string::npos) << path << " left behind";
}

TEST_F(TreeTest, AFailedVerificationOrAnAbandonedTreeKeepsThePreviousInstallation) {
  const TargetDirectory target(targetPath());
  const std::map<std::string, std::string> before = snapshot(targetPath());
  {
    Tree tree(target, "app/", housekeeping, tick);
    writeAt(tree, "app/new", "new");
    EXPECT_THROW(tree.finish([] { throw std::runtime_error("missing"); }, tick),
                 std::runtime_error);
    tree.abandon();
  }
  {
    Tree tree(target, "app/", housekeeping, tick);
    tree.placeOf({"deep", "er", "file"}, false);  // makes deep/er in the target
    writeAt(tree, "app/new", "new");
    tree.abandon();
  }
  housekeeping.runNow();
  std::map<std::string, std::string> after = snapshot(targetPath());
  after.erase("deep");
  after.erase("deep/er");
  EXPECT_EQ(after, before);
}

TEST_F(TreeTest, DirectoryModesWaitForTheEndDeepestFirst) {
  const TargetDirectory target(targetPath());
  Tree tree(target, "app/", housekeeping, tick);
  for (const std::string name : {"app/ro/", "app/ro/inner/"}) {
    const std::vector<std::string> components = nameComponents(name);
    tree.makeDirectory(tree.placeOf(components, true), components, 0555);
  }
  // Read-only already, they would refuse this file (to anyone but root).
  writeAt(tree, "app/ro/inner/file", "x");
  struct stat st;
  ASSERT_EQ(fstat(tree.placeOf({"app", "ro", "inner", "file"}, false).dir->fd(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u) << "a mode applied before the end";
  tree.finish([] {}, tick);
  ASSERT_EQ(stat((targetPath() + "/app/ro").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0555u);
  ASSERT_EQ(stat((targetPath() + "/app/ro/inner").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0555u);
  EXPECT_EQ(readFile(targetPath() + "/app/ro/inner/file"), "x");
  housekeeping.runNow();
}

TEST_F(TreeTest, AFileCannotTakeADirectoryPlace) {
  const TargetDirectory target(targetPath());
  Tree tree(target, "app/", housekeeping, tick);
  EXPECT_EQ(messageOf([&] { tree.placeOf({"app"}, false); }),
            "file couldn't be written: " + targetPath() + "/app: Is a directory");
  tree.abandon();
}

}  // namespace
