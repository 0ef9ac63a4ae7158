// Archives made by real tools, extracted by us and by Info-ZIP unzip (the peer): the trees
// must match byte for byte and mode for mode, except where we differ by design.
#include <gtest/gtest.h>

#include "extract_helpers.h"
#include "extractor.h"

namespace {

// A tree with modes worth carrying: a private file, binary data, a setuid program, a
// read-only directory with content, a restricted directory and a link.
const char* const MAKE_TREE = R"(set -e
mkdir -p top/sub top/ro top/empty
printf 'hello' > top/a.txt; chmod 600 top/a.txt
printf 'x\000\377y' > top/sub/b.bin; chmod 750 top/sub
printf '#!/bin/sh\n' > top/suid; chmod 4755 top/suid
printf 'r' > top/ro/in.txt; chmod 555 top/ro
ln -s a.txt top/link
)";

const char* const PYTHON_ZIP = R"(import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    for root, dirs, files in os.walk('top'):
        z.write(root)
        for f in files:
            z.write(os.path.join(root, f))
    info = zipfile.ZipInfo('top/written.txt')
    info.external_attr = 0o100640 << 16
    z.writestr(info, 'made in memory' * 100)
)";

class ExtractorPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runIn(source, MAKE_TREE);
  }

  // Makes the archive with `command` (run in the source tree, "$ZIP" the archive's path),
  // extracts it with us and with unzip, and returns both trees.
  std::pair<std::map<std::string, std::string>, std::map<std::string, std::string>> both(
      const std::string& command) {
    std::string zip = files / "a.zip";
    runIn(source, "ZIP=" + shellQuote(zip) + " && " + command);
    Extractor(zip).extractAll(ours.path());
    // -K keeps setuid, which we carry as recorded.
    CommandResult unzipped =
        runCommand("unzip -qK " + shellQuote(zip) + " -d " + shellQuote(peer.path()));
    EXPECT_EQ(unzipped.status, 0) << unzipped.output;
    return {snapshot(ours.path()), snapshot(peer.path())};
  }

  UmaskScope mask{022};
  TempDir source, files, ours, peer;
};

TEST_F(ExtractorPeerTest, InfoZipWithDirectories) {
  auto [mine, theirs] = both("zip -qr \"$ZIP\" top");
  EXPECT_EQ(mine, theirs);
  EXPECT_EQ(mine["top/suid"], "file 4755 #!/bin/sh\n");
}

TEST_F(ExtractorPeerTest, InfoZipWithoutDirectoryEntries) {
  // With -D no directory is listed, so both create them with 0755; the empty one is lost.
  auto [mine, theirs] = both("zip -qrD \"$ZIP\" top");
  EXPECT_EQ(mine, theirs);
  EXPECT_EQ(mine["top/ro"], "dir 0755");
  EXPECT_EQ(mine.count("top/empty"), 0u);
}

TEST_F(ExtractorPeerTest, InfoZipWithLinks) {
  // unzip restores a link as a link; we write a regular file holding its text.
  auto [mine, theirs] = both("zip -qry \"$ZIP\" top");
  EXPECT_EQ(theirs["top/link"], "link a.txt");
  theirs["top/link"] = "file 0777 a.txt";
  EXPECT_EQ(mine, theirs);
}

TEST_F(ExtractorPeerTest, PythonZipfile) {
  auto [mine, theirs] = both(PYTHON + " -c " + shellQuote(PYTHON_ZIP) + " \"$ZIP\"");
  EXPECT_EQ(mine, theirs);
  EXPECT_EQ(mine["top/written.txt"].substr(0, 9), "file 0640");
}

}  // namespace
