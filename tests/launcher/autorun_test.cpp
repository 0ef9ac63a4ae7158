#include "autorun.h"

#include <gtest/gtest.h>

#include "test_files.h"

TEST(AutorunCommand, OnlyAMarkerThatOpensTheCommentIntroducesACommand) {
  EXPECT_EQ(autorunCommand(""), std::nullopt);
  EXPECT_EQ(autorunCommand("just a comment"), std::nullopt);
  EXPECT_EQ(autorunCommand("$autorun$>echo hi"), std::nullopt);
  EXPECT_EQ(autorunCommand("xx$AUTORUN$>echo hi"), std::nullopt);
  EXPECT_EQ(autorunCommand("$AUTORUN$"), std::nullopt);
  EXPECT_EQ(autorunCommand("$AUTORUN$>"), std::string());
}

TEST(AutorunCommand, TheCommandIsTheRestUnchangedUpToAZeroByte) {
  EXPECT_EQ(autorunCommand("$AUTORUN$>cd setup && ./install.sh\n"),
            std::string("cd setup && ./install.sh\n"));
  EXPECT_EQ(autorunCommand("$AUTORUN$>  two blanks "), std::string("  two blanks "));
  EXPECT_EQ(autorunCommand(std::string("$AUTORUN$>echo a\0rm -rf x", 25)), std::string("echo a"));
  EXPECT_EQ(autorunCommand("$AUTORUN$>$AUTORUN$>x"), std::string("$AUTORUN$>x"));
}

// runAutorun ends the process, so each case runs in a forked child.
TEST(RunAutorunDeathTest, RunsTheCommandThenEndsWithStatusZeroWhateverItReturned) {
  TempDir dir;
  std::string marker = dir / "ran";
  EXPECT_EXIT(runAutorun("$AUTORUN$>touch " + shellQuote(marker) + "; exit 7"),
              testing::ExitedWithCode(0), "");
  EXPECT_TRUE(exists(marker));
  EXPECT_EXIT(runAutorun("$AUTORUN$>no-such-program-sfx-test"), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(runAutorun("$AUTORUN$>"), testing::ExitedWithCode(0), "");
}

TEST(RunAutorun, WithoutACommandItReturnsAndRunsNothing) {
  TempDir dir;
  std::string marker = dir / "ran";
  runAutorun("");
  runAutorun("touch " + marker);
  runAutorun("xx$AUTORUN$>touch " + marker);
  runAutorun("$autorun$>touch " + marker);
  EXPECT_FALSE(exists(marker));
}
