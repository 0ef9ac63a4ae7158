// Removing a previous installation: without recursion however deep, within a few
// descriptors, stopping when asked. (What it has to leave is named: see the launcher's
// tests, where another user's files stand in the way.)
#include "tree_removal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "extract_helpers.h"
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
  TempDir scratch;
  const std::string top = scratch / "old";
  ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
  makeChain(top, 20000);
  writeFile(top + "/f", "x");
  // In a child, so that the lowered limit stays there.
  pid_t pid = fork();
  if (pid == 0) {
    const rlimit few = {16, 16};
    setrlimit(RLIMIT_NOFILE, &few);
    const int dir = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY);
    _exit(removeTree(dir, "old", top).empty() ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_FALSE(exists(top));
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

}  // namespace
