// Helpers the archive tests share.
#ifndef SFX_TESTS_ARCHIVE_ARCHIVE_TEST_HELPERS_H_
#define SFX_TESTS_ARCHIVE_ARCHIVE_TEST_HELPERS_H_

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "test_files.h"
#include "zip_archive.h"

// Byte strings compared in words (their sizes and the first offset that differs), not by
// printing kilobytes of binary when they differ.
inline ::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << "holds " << actual.size() << " bytes where "
                                       << expected.size() << " were expected; they differ from "
                                       << "offset " << at;
}

inline void load(ZipArchive& archive, const std::string& zip) {
  std::istringstream in(zip);
  ASSERT_TRUE(archive.loadStream(in));
}

// hello.txt (0644), empty, sub/ and sub/big.txt (compressible).
inline void makeTree(const TempDir& dir) {
  std::string big;
  for (int i = 0; i < 20000; i++) big += "line " + std::to_string(i % 97) + "\n";
  writeFile(dir / "hello.txt", "Hello, world\n");
  writeFile(dir / "empty", "");
  runIn(dir, "mkdir sub && chmod 644 hello.txt");
  writeFile(dir / "sub/big.txt", big);
}

#endif  // SFX_TESTS_ARCHIVE_ARCHIVE_TEST_HELPERS_H_
