// Removing a previous installation: without recursion however deep, within a few
// descriptors, stopping when asked, never into another mount, whether statx gives mount
// ids (Linux 5.8) or not. (What it has to leave is named: see the launcher's tests, where
// another user's files stand in the way.)
#include "tree_removal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "extract_helpers.h"
#include "mount_id.h"
#include "test_files.h"

namespace {

// Makes a chain of `depth` directories "d" below `dir`, one descriptor at a time.
void makeChain(const std::string& dir, int depth) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < depth && fd >= 0; ++i) {
    mkdirat(fd, "d", 0755);
    const int below = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = below;
  }
  if (fd >= 0) close(fd);
}

TEST(TreeRemovalTest, DeepTreesGoWithinFewDescriptors) {
  // Also with the mount ids read from /proc/self/fdinfo, which takes a descriptor more.
  for (const bool statxIgnored : {false, true}) {
    TempDir scratch;
    const std::string top = scratch / "old";
    ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
    makeChain(top, 20000);
    writeFile(top + "/f", "x");
    // In a child, so that the lowered limit stays there.
    pid_t pid = fork();
    if (pid == 0) {
      ignoreStatxMountId(statxIgnored);
      const rlimit few = {16, 16};
      setrlimit(RLIMIT_NOFILE, &few);
      const int dir = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY);
      _exit(removeTree(dir, "old", top).empty() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status << (statxIgnored ? ", statx's mount ids ignored" : "");
    EXPECT_FALSE(exists(top));
  }
}

TEST(TreeRemovalTest, StopsWhenAskedAndLeavesTheRestForLater) {
  TempDir scratch;
  const std::string top = scratch / "old";
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  for (int i = 0; i < 2000; ++i) writeFile(top + "/f" + std::to_string(i), "x");
  const int dir = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY);
  int ticks = 0;
  EXPECT_THROW(removeTree(dir, "old", top, [&] {
                 if (++ticks == 2) throw std::runtime_error("stop");
               }),
               std::runtime_error);
  const size_t left = snapshot(top).size();
  EXPECT_GT(left, 0u);
  EXPECT_LT(left, 2000u);
  EXPECT_EQ(removeTree(dir, "old", top), "");
  EXPECT_FALSE(exists(top));
  close(dir);
}

// Mounts inside a tree being removed. Every mount below the scratch goes at the end, and
// statx's mount ids are used again.
class TreeRemovalMountTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(old.c_str(), 0755), 0); }
  void TearDown() override {
    unmountBelow(scratch.path());
    ignoreStatxMountId(false);
  }
  bool mount(const std::string& source, const std::string& at, const char* type,
             unsigned long flags, const char* options) {
    return ::mount(source.c_str(), at.c_str(), type, flags, options) == 0;
  }
  std::string remove() {
    const int dir = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string left = removeTree(dir, "old", old);
    close(dir);
    return left;
  }

  UmaskScope mask{022};
  TempDir scratch;
  const std::string old = scratch / "old";
};

// Found by statx's mount ids and, with those ignored, as on the kernels before 5.8 that
// installers still meet (RHEL 8's 4.18, Debian 10's 4.19, Ubuntu 20.04's 5.4), where a
// bind mount shares its device with the file system it lies in.
class TreeRemovalMountIdTest : public TreeRemovalMountTest,
                               public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    TreeRemovalMountTest::SetUp();
    ignoreStatxMountId(GetParam());
  }
};

TEST_P(TreeRemovalMountIdTest, MountsInsideStayWithTheirContentAndTheRestGoes) {
  // Outside the tree, on its file system: what a user bound into it.
  ASSERT_EQ(mkdir((scratch / "outside").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((scratch / "outside/sub").c_str(), 0755), 0);
  writeFile(scratch / "outside/keep", "outside");
  writeFile(scratch / "outside/sub/deep", "deep");
  for (const char* dir : {"/a", "/a/b", "/a/b/bound", "/a/x", "/own", "/z"})
    ASSERT_EQ(mkdir((old + dir).c_str(), 0755), 0);
  for (const char* file : {"/f", "/a/f", "/a/b/f", "/a/x/f", "/z/f"}) writeFile(old + file, "old");
  if (!mount(scratch / "outside", old + "/a/b/bound", nullptr, MS_BIND, nullptr))
    GTEST_SKIP() << "mounting needs root";
  ASSERT_TRUE(mount("tmpfs", old + "/own", "tmpfs", 0, "size=64k,mode=755"));
  writeFile(old + "/own/keep", "own");

  const std::string left = remove();
  EXPECT_TRUE(left == old + "/a/b/bound: Device or resource busy" ||
              left == old + "/own: Device or resource busy")
      << left;
  // The directories the mounts stand on stay, and those above them; all else goes.
  EXPECT_EQ(snapshot(old), (std::map<std::string, std::string>{
                               {"a", "dir 0755"},
                               {"a/b", "dir 0755"},
                               {"a/b/bound", "dir 0755"},
                               {"a/b/bound/keep", "file 0644 outside"},
                               {"a/b/bound/sub", "dir 0755"},
                               {"a/b/bound/sub/deep", "file 0644 deep"},
                               {"own", "dir 0755"},
                               {"own/keep", "file 0644 own"}}));
  unmountBelow(scratch.path());
  EXPECT_EQ(readFile(scratch / "outside/keep"), "outside");
  EXPECT_EQ(readFile(scratch / "outside/sub/deep"), "deep");
}

// Where no mount id can be had (statx gives none and /proc/self/fdinfo is hidden), the
// removal cannot tell a bind mount from a directory: it enters none.
TEST_F(TreeRemovalMountTest, WithoutMountIdsNothingIsEntered) {
  ASSERT_EQ(mkdir((old + "/d").c_str(), 0755), 0);
  writeFile(old + "/d/f", "old");
  const auto before = snapshot(old);
  // In a child with a mount namespace of its own, over whose fdinfo a tmpfs lies.
  const std::string cannotMount = "cannot mount";
  const std::string left = inChild([&] {
    ignoreStatxMountId(true);
    const std::string fdinfo = "/proc/" + std::to_string(getpid()) + "/fdinfo";
    if (unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", fdinfo.c_str(), "tmpfs", 0, "size=4k") != 0)
      return cannotMount;
    return remove();
  });
  if (left == cannotMount) GTEST_SKIP() << "mounting needs root";
  // The reason is the one /proc gave: no fdinfo.
  EXPECT_EQ(left, old + ": No such file or directory");
  EXPECT_EQ(snapshot(old), before);
}

INSTANTIATE_TEST_SUITE_P(StatxMountIds, TreeRemovalMountIdTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Ignored" : "Used";
                         });

// The ids read from /proc/self/fdinfo are the ones statx gives, and tell a bind mount
// from the directory it shows.
TEST(MountIdTest, FdinfoGivesTheIdsStatxGives) {
  TempDir scratch;
  struct Unmount {
    const std::string& root;
    ~Unmount() { unmountBelow(root); }
  } unmount{scratch.path()};
  for (const char* name : {"source", "bound", "own"})
    ASSERT_EQ(mkdir((scratch / name).c_str(), 0755), 0);
  const std::string source = scratch / "source", bound = scratch / "bound";
  if (mount(source.c_str(), bound.c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "mounting needs root";
  ASSERT_EQ(mount("tmpfs", (scratch / "own").c_str(), "tmpfs", 0, "size=4k"), 0);
  std::vector<MountOf> viaStatx, viaFdinfo;
  for (const char* name : {"source", "bound", "own"}) {
    const int fd = open((scratch / name).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    MountOf found;
    ignoreStatxMountId(false);
    EXPECT_TRUE(mountOf(fd, &found)) << name;
    viaStatx.push_back(found);
    ignoreStatxMountId(true);
    EXPECT_TRUE(mountOf(fd, &found)) << name;
    viaFdinfo.push_back(found);
    ignoreStatxMountId(false);
    close(fd);
  }
  for (size_t i = 0; i < viaStatx.size(); ++i) {
    EXPECT_EQ(viaFdinfo[i].device, viaStatx[i].device) << i;
    EXPECT_EQ(viaFdinfo[i].mountId, viaStatx[i].mountId) << i;
  }
  EXPECT_EQ(viaFdinfo[0].device, viaFdinfo[1].device);
  EXPECT_FALSE(sameMount(viaFdinfo[0], viaFdinfo[1]));
  EXPECT_FALSE(sameMount(viaFdinfo[0], viaFdinfo[2]));
}

}  // namespace
