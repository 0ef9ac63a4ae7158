// ZIP64 archives: end records and extra fields from Info-ZIP and Python, archives behind a
// stub, more than 65,535 entries, and broken ZIP64 structures. Archives over 4 GiB are
// left out: writing one takes far too long for a test.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "archive_test_helpers.h"
#include "zip_builder.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

const uint32_t WIDE = 0xFFFFFFFF;

// A ZIP64 extra field block holding `values`.
std::string zip64Extra(const std::vector<uint64_t>& values) {
  std::string data;
  for (uint64_t v : values) data += le64(v);
  return le16(1) + le16(uint16_t(data.size())) + data;
}

// `zip` (without comment) with a ZIP64 end record and locator put before its end record,
// whose counts, directory size and offset then hold all ones unless `keepClassic`.
std::string withZip64End(const std::string& zip, bool keepClassic = false) {
  const size_t end = zip.size() - 22;
  const uint16_t entries = uint16_t(le32At(zip, end + 10));
  const std::string record = "PK\6\6" + le64(44) + le16(45) + le16(45) + le32(0) + le32(0) +
                             le64(entries) + le64(entries) + le64(le32At(zip, end + 12)) +
                             le64(le32At(zip, end + 16));
  const std::string locator = "PK\6\7" + le32(0) + le64(end) + le32(1);
  std::string classic = zip.substr(end);
  if (!keepClassic)
    classic = patched(classic, 8, le16(0xFFFF) + le16(0xFFFF) + le32(WIDE) + le32(WIDE));
  return zip.substr(0, end) + record + locator + classic;
}

const char WIDE_TEXT[] = "wide entry, wide entry, wide entry";

// Two entries, the second with both sizes and its offset in a ZIP64 extra field.
std::string handMade() {
  const std::string text = WIDE_TEXT;
  const std::string packed = deflateRaw(text);
  const uint32_t secondOffset = 30 + 1 + 1;  // after the stored "a" holding "x"
  return ZipBuilder()
      .add({.name = "a", .data = "x", .method = 0})
      .add({.name = "b", .data = text,
            .extra = zip64Extra({text.size(), packed.size(), secondOffset}),
            .compressedSize = WIDE, .uncompressedSize = WIDE, .localHeaderOffset = WIDE})
      .build();
}

std::string loadMessage(const std::string& bytes) {
  std::istringstream in(bytes);
  ZipArchive archive;
  return messageOf([&] { archive.loadStream(in); });
}

// Every entry of `archive` lists and reads back as the file of that name under `dir`.
void expectTree(ZipArchive& archive, const TempDir& dir) {
  const std::vector<std::string> want = {"hello.txt", "empty", "sub/", "sub/big.txt"};
  ASSERT_EQ(archive.names(), want);
  for (const ZipEntryInfo& info : archive.entries()) {
    const std::string content = info.name.ends_with("/") ? "" : readFile(dir / info.name);
    EXPECT_EQ(info.uncompressedSize, content.size()) << info.name;
    EXPECT_TRUE(sameBytes(archive.readEntry(info), content)) << info.name;
  }
}

// The classic end record of a comment-less archive defers its directory offset.
bool defersOffset(const std::string& zip) {
  return le32At(zip, zip.size() - 6) == WIDE && zip.find("PK\6\6") != std::string::npos;
}

}  // namespace

TEST(Zip64Read, HandMadeRecordsAndExtraFieldsSupplyTheValues) {
  // Behind a stub, with or without all ones in the classic record: the directory ends
  // at the ZIP64 record either way.
  const std::string plain = handMade();
  for (const std::string& zip : {withZip64End(plain), withZip64End(plain, true)}) {
    std::istringstream in("stub bytes" + zip);
    ZipArchive archive;
    ASSERT_TRUE(archive.loadStream(in));
    EXPECT_EQ(archive.names(), (std::vector<std::string>{"a", "b"}));
    const ZipEntryInfo b = archive.entryInfo("b");
    EXPECT_EQ(b.uncompressedSize, 34u);
    EXPECT_EQ(b.compressedSize, deflateRaw(std::string(WIDE_TEXT)).size());
    EXPECT_EQ(b.localHeaderOffset, 32u);
    EXPECT_EQ(archive.readEntry(b), WIDE_TEXT);
  }
}

TEST(Zip64Read, BrokenRecordsAndExtraFieldsAreBadZip) {
  const std::string good = withZip64End(handMade());
  const size_t n = good.size(), locator = n - 22 - 20, record = locator - 56, end = n - 22;
  const uint64_t dirSize = le32At(good, record + 40);
  auto entry = [](std::string extra, uint32_t comp, uint32_t uncomp, uint32_t offset = 0) {
    return ZipBuilder()
        .add({.name = "f", .data = "abc", .method = 0, .extra = std::move(extra),
              .compressedSize = comp, .uncompressedSize = uncomp, .localHeaderOffset = offset})
        .build();
  };
  std::vector<std::pair<std::string, std::string>> cases = {
      {"locator points past the data", patched(good, locator + 8, le64(n + 100))},
      {"locator points into itself", patched(good, locator + 8, le64(record + 1))},
      {"locator offset overflows", patched(good, locator + 8, le64(~0ull))},
      {"locator names disk 1", patched(good, locator + 4, le32(1))},
      {"locator counts two disks", patched(good, locator + 16, le32(2))},
      {"no locator", patched(good, locator + 3, "\x08")},
      {"record signature", patched(good, record + 3, "\x07")},
      {"record size", patched(good, record + 4, le64(45))},
      {"record disk", patched(good, record + 16, le32(1))},
      {"entries on disk differ", patched(good, record + 24, le64(3))},
      {"entries exceed directory", patched(good, record + 24, le64(1000) + le64(1000))},
      {"directory past the record", patched(good, record + 40, le64(dirSize + 1))},
      {"directory offset overflows", patched(good, record + 48, le64(~0ull))},
      {"classic count disagrees", patched(good, end + 8, le16(3) + le16(3))},
      {"wide size, no extra field", entry("", WIDE, 3)},
      {"extra field too short", entry(zip64Extra({3}), WIDE, WIDE)},
      {"extra block runs past the field", entry(le16(1) + le16(16) + le64(3), WIDE, WIDE)},
      {"extra block of another kind", entry(le16(2) + le16(8) + le64(3), 3, WIDE)},
      {"extra offset past the end", entry(zip64Extra({~0ull}), 3, 3, WIDE)},
      {"extra sizes past the end",
       ZipBuilder()
           .add({.name = "f", .data = "abc", .extra = zip64Extra({3, 1ull << 62}),
                 .compressedSize = WIDE, .uncompressedSize = WIDE})
           .build()},
  };
  for (auto& [what, bytes] : cases) EXPECT_EQ(loadMessage(bytes), "bad zip") << what;
  // What the broken ones were made from, and extra fields read right.
  EXPECT_EQ(loadMessage(good), "<no exception>");
  EXPECT_EQ(loadMessage(entry(zip64Extra({3, 3}), WIDE, WIDE)), "<no exception>");
  EXPECT_EQ(loadMessage(entry(le16(9) + le16(2) + "xx" + zip64Extra({0}), 3, 3, WIDE)),
            "<no exception>");
}

TEST(Zip64Read, AllOnesCountStandsWithoutALocator) {
  // 65,535 entries fill the classic count, and writers then add no ZIP64 record.
  ZipBuilder builder;
  for (int i = 0; i < 65535; i++) builder.add({.name = std::to_string(i), .method = 0});
  std::istringstream in(builder.build());
  ZipArchive archive;
  ASSERT_TRUE(archive.loadStream(in));
  EXPECT_EQ(archive.entryInfo("65534").index, 65534u);
}

TEST(Zip64Load, InfoZipForcedZip64PlainAndBehindAStub) {
  TempDir dir;
  makeTree(dir);
  std::string stub = "\x7f" "ELF";
  for (int i = 0; i < 5000; ++i) stub += char(i * 7 % 251);
  writeFile(dir / "stub", stub);
  // zip -A refuses ZIP64 archives, so for offsets counting from the file's first byte
  // the stub is adjusted in first and zip -fz then rewrites the whole archive.
  runIn(dir, "zip -q -fz x.zip hello.txt empty sub sub/big.txt && zip -q y.zip hello.txt &&"
           " cat stub y.zip > adjusted.zip && zip -q -A adjusted.zip &&"
           " zip -q -fz adjusted.zip empty sub sub/big.txt");
  const std::string zip = readFile(dir / "x.zip"), adjusted = readFile(dir / "adjusted.zip");
  ASSERT_TRUE(defersOffset(zip));
  ASSERT_TRUE(defersOffset(adjusted));
  // A longest comment puts the ZIP64 records before the searched tail.
  const std::string comment(65535, 'c');
  const std::string announced = patched(zip, zip.size() - 2, le16(65535));
  const std::string commented = stub + announced + comment;

  // Where the first local header lies by the offsets: after the stub only when the
  // offsets count from the file's first byte.
  struct Case {
    std::string file, comment;
    uint64_t firstHeader;
  } cases[] = {{zip, "", 0}, {stub + zip, "", 0}, {commented, comment, 0}, {adjusted, "", stub.size()}};
  for (const Case& c : cases) {
    writeFile(dir / "installer", c.file);
    ZipArchive archive;
    ASSERT_TRUE(archive.loadFile(dir / "installer"));
    EXPECT_EQ(archive.comment(), c.comment);
    EXPECT_EQ(archive.entries()[0].localHeaderOffset, c.firstHeader);
    expectTree(archive, dir);
  }
}

TEST(Zip64Load, PythonForcedZip64EntriesThroughFileAndPipe) {
  TempDir dir;
  const std::string write =
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1] if len(sys.argv) > 1 else sys.stdout.buffer, 'w') as z:\n"
      "  with z.open('a.txt', 'w', force_zip64=True) as f: f.write(b'hello\\n')\n"
      "  i = zipfile.ZipInfo('d/big.txt'); i.compress_type = zipfile.ZIP_DEFLATED\n"
      "  with z.open(i, 'w', force_zip64=True) as f: f.write(b'big ' * 5000)\n";
  writeFile(dir / "w.py", write);
  runIn(dir, PYTHON + " w.py file.zip && " + PYTHON + " w.py | cat > pipe.zip");
  std::string big;
  for (int i = 0; i < 5000; i++) big += "big ";
  for (const char* name : {"file.zip", "pipe.zip"}) {
    const std::string zip = readFile(dir / name);
    // The local headers carry a ZIP64 extra field. Their 32-bit size fields hold all ones
    // from Python 3.11.4 on; before, the real sizes (zeros when streamed, sizes following in
    // a data descriptor). Both layouts are in use, so both load, whichever Python wrote this.
    ASSERT_EQ(zip.substr(26, 9), le16(5) + le16(20) + "a.txt") << name;
    ASSERT_EQ(zip.substr(35, 4), le16(1) + le16(16)) << name;
    const bool streamed = (zip[6] & 8) != 0;
    const std::string older = streamed ? std::string(8, '\0') : le32(6) + le32(6);
    for (const std::string& sizes : {std::string(8, '\xFF'), older}) {
      writeFile(dir / "variant.zip", patched(zip, 18, sizes));
      ZipArchive archive;
      ASSERT_TRUE(archive.loadFile(dir / "variant.zip")) << name;
      EXPECT_EQ(archive.names(), (std::vector<std::string>{"a.txt", "d/big.txt"})) << name;
      EXPECT_EQ(archive.readEntry(archive.entryInfo("a.txt")), "hello\n") << name;
      EXPECT_TRUE(sameBytes(archive.readEntry(archive.entryInfo("d/big.txt")), big)) << name;
    }
  }
}

TEST(Zip64Load, PythonArchiveOfMoreThan65535Entries) {
  TempDir dir;
  runIn(dir, PYTHON + " -c " + shellQuote(
               "import io, zipfile\n"
               "b = io.BytesIO()\n"
               "with zipfile.ZipFile(b, 'w') as z:\n"
               "  for i in range(65537): z.writestr(zipfile.ZipInfo('e%d' % i), b'')\n"
               "  z.writestr('last.txt', 'the last one', zipfile.ZIP_DEFLATED)\n"
               "open('many.zip', 'wb').write(b.getvalue())\n"));
  const std::string zip = readFile(dir / "many.zip");
  ASSERT_NE(zip.find("PK\6\6"), std::string::npos);
  // Lookups rather than the whole listing, which builds a large record per entry and
  // takes half a minute under the address sanitizer.
  ZipArchive archive;
  ASSERT_TRUE(archive.loadFile(dir / "many.zip"));
  const ZipEntryInfo last = archive.entryInfo("last.txt");
  EXPECT_EQ(last.index, 65537u);
  EXPECT_EQ(archive.readEntry(last), "the last one");
  EXPECT_EQ(archive.entryInfo("E65535").index, 65535u);
  EXPECT_EQ(archive.entryInfo("e65536").name, "e65536");
  EXPECT_EQ(archive.readEntry(archive.entryInfo("e0")), "");
}
