#include "miniz_zip.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "archive_test_helpers.h"
#include "zip_builder.h"

// Entries are written with designated initializers naming only the fields a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// A reader over its own copy of `bytes`, ended on destruction when still reading.
struct Reader {
  std::string bytes;
  mz_zip_archive zip{};
  bool ok;

  explicit Reader(std::string data, mz_uint32 flags = 0) : bytes(std::move(data)) {
    ok = mz_zip_reader_init_mem(&zip, bytes.data(), bytes.size(), flags);
  }
  ~Reader() {
    if (zip.m_zip_mode == MZ_ZIP_MODE_READING) mz_zip_reader_end(&zip);
  }
  int find(const std::string& name, mz_uint flags = 0) {
    return mz_zip_reader_locate_file(&zip, name.c_str(), nullptr, flags);
  }
  // The entry's bytes as the callback receives them; nothing when extraction fails.
  std::optional<std::string> extract(const std::string& name) {
    int index = find(name);
    if (index < 0) return std::nullopt;
    std::string out;
    if (!extractTo(mz_uint(index), &out)) return std::nullopt;
    return out;
  }
  // Appends what the callback receives to `out`, checking that the offsets follow on.
  bool extractTo(mz_uint index, std::string* out, mz_uint flags = 0) {
    return mz_zip_reader_extract_to_callback(&zip, index, append, out, flags);
  }
  // The entry as extract_to_mem leaves it in a buffer of `room` bytes (its size by
  // default), whose bytes past the entry must stay as they were; nothing when it fails.
  std::optional<std::string> extractWhole(mz_uint index, std::optional<size_t> room = {}) {
    const size_t size = size_t(stat(index).m_uncomp_size);
    std::string buffer(room.value_or(size) + 64, '#');
    const bool done = mz_zip_reader_extract_to_mem(&zip, index, buffer.data(), buffer.size() - 64, 0);
    EXPECT_EQ(buffer.substr(buffer.size() - 64), std::string(64, '#')) << "written past the end";
    if (!done) return std::nullopt;
    return buffer.substr(0, size);
  }
  static size_t append(void* opaque, mz_uint64 offset, const void* data, size_t n) {
    std::string* out = static_cast<std::string*>(opaque);
    EXPECT_EQ(offset, out->size());
    EXPECT_LE(n, size_t(1) << 20);
    out->append(static_cast<const char*>(data), n);
    return n;
  }
  // One shared record: it is too large for the stack of a test.
  mz_zip_archive_file_stat& stat(mz_uint index) {
    static mz_zip_archive_file_stat s;
    EXPECT_TRUE(mz_zip_reader_file_stat(&zip, index, &s));
    return s;
  }
};

std::string oneFile(ZipBuilderEntry e) { return ZipBuilder().add(std::move(e)).build(); }

std::string zipOf(const TempDir& dir, const std::string& command) {
  runIn(dir, "rm -f x.zip && " + command);
  return readFile(dir / "x.zip");
}

}  // namespace

TEST(MinizInit, RejectsBrokenArchivesAndLeavesNoState) {
  std::string good = ZipBuilder().file("a.txt", "abc").build();
  // The archive is small enough for its directory offset to fit one byte.
  size_t end = good.size() - 22, central = size_t(uint8_t(good[end + 16]));
  std::vector<std::pair<std::string, std::string>> cases = {
      {"shorter than an end record", ZipBuilder().build().substr(0, 21)},
      {"no end record", std::string(100, 'x')},
      {"end record too far from the end", good + std::string(65536, '\0')},
      {"only a cut-off end record", std::string(40, 'x') + good.substr(end, 21)},
      {"disk number", patched(good, end + 4, le16(1))},
      {"directory disk", patched(good, end + 6, le16(1))},
      {"entries on disk differ", patched(good, end + 8, le16(2))},
      {"entries exceed directory", patched(good, end + 8, le16(2) + le16(2))},
      {"directory past the end", patched(good, end + 12, le32(uint32_t(end - central + 23)))},
      {"central signature", patched(good, central + 3, "\x09")},
      {"name past directory", patched(good, central + 28, le16(200))},
      {"extra past directory", patched(good, central + 30, le16(1))},
      {"comment past directory", patched(good, central + 32, le16(1))},
      {"stored sizes differ",
       oneFile({.name = "a", .data = "abc", .method = 0, .compressedSize = 2})},
      {"data without compressed size", oneFile({.name = "a", .data = "abc", .compressedSize = 0})},
      {"size 0xFFFFFFFF", oneFile({.name = "a", .data = "abc", .uncompressedSize = 0xFFFFFFFF})},
      {"local header past the end",
       oneFile({.name = "a", .data = "abc", .localHeaderOffset = 1000})},
  };
  for (auto& [what, bytes] : cases) {
    Reader r(bytes);
    EXPECT_FALSE(r.ok) << what;
    EXPECT_EQ(r.zip.m_zip_mode, MZ_ZIP_MODE_INVALID) << what;
    EXPECT_EQ(r.zip.m_pState, nullptr) << what;
    EXPECT_TRUE(mz_zip_reader_init_mem(&r.zip, good.data(), good.size(), 0)) << what;
  }
}

TEST(MinizInit, FindsTheLastCompleteEndRecord) {
  Reader empty(ZipBuilder().build());
  ASSERT_TRUE(empty.ok);
  EXPECT_EQ(empty.zip.m_total_files, 0u);
  EXPECT_EQ(empty.zip.m_archive_size, 22u);
  EXPECT_NE(empty.zip.m_pAlloc, nullptr);  // defaults installed

  // A signature in the comment with no room for a record behind it is skipped.
  Reader r(ZipBuilder().file("a", "1").comment(std::string(65515, 'c') + "PK\5\6").build());
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.zip.m_total_files, 1u);
  // The record may start exactly 65,557 bytes before the end.
  EXPECT_TRUE(Reader(ZipBuilder().file("a", "1").comment(std::string(65535, 'c')).build()).ok);
}

TEST(MinizStat, ReportsInfoZipArchive) {
  TempDir dir;
  makeTree(dir);
  Reader r(zipOf(dir, "zip -q -r x.zip hello.txt empty sub"));
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.zip.m_total_files, 4u);
  std::vector<std::string> names;
  for (mz_uint i = 0; i < 4; i++) names.push_back(r.stat(i).m_filename);
  EXPECT_EQ(names, (std::vector<std::string>{"hello.txt", "empty", "sub/", "sub/big.txt"}));

  const mz_zip_archive_file_stat& s = r.stat(0);
  EXPECT_EQ(s.m_file_index, 0u);
  EXPECT_EQ(s.m_external_attr >> 16, 0x81A4u);
  EXPECT_EQ(s.m_version_made_by >> 8, 3);  // Unix
  EXPECT_EQ(s.m_uncomp_size, 13u);
  EXPECT_EQ(s.m_crc32, crc32Of("Hello, world\n"));
  EXPECT_EQ(s.m_local_header_ofs, 0u);
  EXPECT_EQ(s.m_central_dir_ofs, r.zip.m_central_directory_file_ofs);
  r.stat(3);  // s now shows sub/big.txt
  EXPECT_EQ(s.m_method, 8);
  EXPECT_LT(s.m_comp_size, s.m_uncomp_size / 4);
  EXPECT_EQ(r.stat(2).m_external_attr & 0x10, 0x10u);
  EXPECT_FALSE(mz_zip_reader_file_stat(&r.zip, 4, &r.stat(0)));
}

TEST(MinizExtract, ReadsArchivesOfInfoZipAndPython) {
  TempDir dir;
  makeTree(dir);
  std::string py = PYTHON + " -c " + shellQuote(
      "import zipfile\n"
      "with zipfile.ZipFile('x.zip', 'w') as z:\n"
      "  z.comment = b'archive note'\n"
      "  z.writestr('hello.txt', 'Hello, world\\n', zipfile.ZIP_STORED)\n"
      "  z.write('sub/big.txt', 'sub/big.txt', zipfile.ZIP_DEFLATED)\n"
      "  z.writestr('empty', b'', zipfile.ZIP_DEFLATED)\n"
      "  z.writestr('d/', b'')\n"
      "  i = zipfile.ZipInfo('noted.txt')\n"
      "  i.comment = b'entry note'\n"
      "  z.writestr(i, 'Hello, world\\n')\n");
  std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"zip -q -0 -r x.zip hello.txt sub", {"hello.txt", "sub/", "sub/big.txt"}},
      {"zip -q -D -r x.zip hello.txt sub", {"hello.txt", "sub/big.txt"}},
      {"echo note | zip -q -z x.zip hello.txt sub/big.txt", {"hello.txt", "sub/big.txt"}},
      {"zip -q - hello.txt sub/big.txt empty | cat > x.zip", {"hello.txt", "sub/big.txt", "empty"}},
      {py, {"hello.txt", "sub/big.txt", "empty", "d/", "noted.txt"}},
  };
  for (auto& [command, names] : cases) {
    Reader r(zipOf(dir, command));
    ASSERT_TRUE(r.ok) << command;
    ASSERT_EQ(r.zip.m_total_files, names.size()) << command;
    for (mz_uint i = 0; i < names.size(); i++) {
      EXPECT_EQ(r.stat(i).m_filename, names[i]) << command;
      std::string path = names[i] == "noted.txt" ? "hello.txt" : names[i];
      std::string want = path.ends_with("/") ? "" : readFile(dir / path);
      EXPECT_EQ(r.extract(names[i]), want) << command << ": " << names[i];
    }
  }
  // Streaming writes data descriptors; Python's entry comment and methods come through.
  EXPECT_EQ(Reader(zipOf(dir, "zip -q - hello.txt | cat > x.zip")).stat(0).m_bit_flag & 8, 8);
  Reader python(zipOf(dir, py));
  EXPECT_EQ(python.stat(0).m_method, 0);
  EXPECT_EQ(python.stat(1).m_method, 8);
  EXPECT_EQ(python.stat(4).m_comment_size, 10u);
  EXPECT_STREQ(python.stat(4).m_comment, "entry note");
}

TEST(MinizStat, ConvertsDosTimesAsMktimeDoes) {
  const uint16_t march15 = uint16_t((44 << 9) | (3 << 5) | 15);
  const uint16_t dec31 = uint16_t((44 << 9) | (12 << 5) | 31);
  struct Case {
    uint16_t time, date;
    std::vector<int> want;  // year, month, day, hour, minute, second
  } cases[] = {
      {uint16_t((13 << 11) | (45 << 5) | 29), march15, {2024, 3, 15, 13, 45, 58}},
      {uint16_t((13 << 11) | (45 << 5) | 31), march15, {2024, 3, 15, 13, 46, 2}},
      {uint16_t((23 << 11) | (59 << 5) | 30), dec31, {2025, 1, 1, 0, 0, 0}},
      {0, 0, {1979, 11, 30, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Reader r(oneFile({.name = "a", .data = "x", .dosTime = c.time, .dosDate = c.date}));
    time_t t = r.stat(0).m_time;
    tm l{};
    localtime_r(&t, &l);
    std::vector<int> got{l.tm_year + 1900, l.tm_mon + 1, l.tm_mday, l.tm_hour, l.tm_min, l.tm_sec};
    EXPECT_EQ(got, c.want) << c.time << " " << c.date;
  }
}

// Days when the clock changes, and days when it does not, in a zone that has both.
TEST(MinizStat, TimesAroundClockChangesAreMktimes) {
  const char* saved = getenv("TZ");
  const std::string before = saved ? saved : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  ZipBuilder archive;
  std::vector<std::pair<uint16_t, uint16_t>> stamps;
  for (int month : {3, 10}) {
    for (int day : {30, 31, 27, 28}) {
      for (int hour = 0; hour < 24; hour += 1) {
        const uint16_t date = uint16_t((44 << 9) | (month << 5) | day);
        const uint16_t time = uint16_t((hour << 11) | (17 << 5) | 9);
        stamps.emplace_back(time, date);
        archive.add({.name = std::to_string(stamps.size()), .data = "x", .dosTime = time,
                     .dosDate = date});
      }
    }
  }
  Reader r(archive.build());
  ASSERT_TRUE(r.ok);
  for (size_t i = 0; i < stamps.size(); ++i) {
    const auto [time, date] = stamps[i];
    tm t{};
    t.tm_isdst = -1;
    t.tm_year = 80 + (date >> 9);
    t.tm_mon = ((date >> 5) & 15) - 1;
    t.tm_mday = date & 31;
    t.tm_hour = time >> 11;
    t.tm_min = (time >> 5) & 63;
    t.tm_sec = (time << 1) & 62;
    EXPECT_EQ(r.stat(mz_uint(i)).m_time, mktime(&t)) << "entry " << i;
  }
  if (saved) {
    setenv("TZ", before.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(MinizLocate, MatchesWholeNamesPreferringExactCase) {
  std::string longName = std::string(300, 'n') + "/file", longComment(300, 'c');
  Reader r(ZipBuilder()
               .file("readme", "lower")
               .file("Docs/Guide.txt", "guide")
               .file("README", "upper")
               .add({.name = longName, .data = "long", .comment = longComment})
               .build());
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.find("readme"), 0);
  EXPECT_EQ(r.find("README"), 2);
  EXPECT_EQ(r.find("ReadMe"), 0);  // no exact match: the first case-blind one
  EXPECT_EQ(r.find("docs/guide.TXT"), 1);
  for (const char* missing : {"Guide.txt", "Docs", "readm", "readme2"})
    EXPECT_EQ(r.find(missing), -1) << missing;
  EXPECT_EQ(r.find("ReadMe", MZ_ZIP_FLAG_CASE_SENSITIVE), -1);
  EXPECT_EQ(r.find("README", MZ_ZIP_FLAG_CASE_SENSITIVE), 2);
  EXPECT_EQ(r.find("Guide.txt", MZ_ZIP_FLAG_IGNORE_PATH), -1);
  EXPECT_EQ(mz_zip_reader_locate_file(&r.zip, "readme", "", 0), -1);
  EXPECT_EQ(r.extract("README"), "upper");
  EXPECT_EQ(r.extract("readme"), "lower");
  // Long names and comments are kept whole.
  EXPECT_EQ(r.find(longName.substr(0, 259)), -1);
  EXPECT_EQ(r.stat(r.find(longName)).m_filename, longName);
  EXPECT_EQ(r.stat(3).m_comment, longComment);
  EXPECT_EQ(r.extract(longName), "long");

  // Among many spellings of one name the fallback is the first in directory order.
  ZipBuilder spellings;
  for (int bits = 1; bits < 40; bits++) {
    std::string name = "readme";
    for (int i = 0; i < 6; i++)
      if (bits & (1 << i)) name[i] = char(name[i] - 'a' + 'A');
    spellings.file(name, name);
  }
  Reader many(spellings.build());
  EXPECT_EQ(many.find("readme"), 0);
  EXPECT_EQ(many.find("ReAdmE"), 36);  // made for bits 1 | 4 | 32
}

TEST(MinizExtract, RefusesBrokenEntriesAndSaysWhy) {
  std::string text = "some text, some text, some text";
  uint32_t size = uint32_t(text.size());
  ZipBuilderEntry plain{.name = "f", .data = text};
  std::vector<std::tuple<std::string, std::string, mz_zip_error>> cases = {
      {"encrypted", oneFile({.name = "f", .data = text, .flags = 1}), MZ_ZIP_UNSUPPORTED_ENCRYPTION},
      // Valid DEFLATE data under an unknown method.
      {"unknown method",
       oneFile({.name = "f", .data = deflateRaw(text), .method = 12, .crc = crc32Of(text),
                .uncompressedSize = size}),
       MZ_ZIP_UNSUPPORTED_METHOD},
      {"crc of deflated", oneFile({.name = "f", .data = text, .crc = 1}), MZ_ZIP_CRC_CHECK_FAILED},
      {"crc of stored", oneFile({.name = "f", .data = text, .method = 0, .crc = 1}),
       MZ_ZIP_CRC_CHECK_FAILED},
      {"size too small", oneFile({.name = "f", .data = text, .uncompressedSize = size - 1}),
       MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE},
      {"size too large", oneFile({.name = "f", .data = text, .uncompressedSize = size + 1}),
       MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE},
      {"local signature", patched(oneFile(plain), 2, "X"), MZ_ZIP_INVALID_HEADER_OR_CORRUPTED},
      {"local name past the end", patched(oneFile(plain), 26, le16(0xFFFF)),
       MZ_ZIP_INVALID_HEADER_OR_CORRUPTED},
      {"bad deflate data", patched(oneFile(plain), 31, "\xFF"), MZ_ZIP_DECOMPRESSION_FAILED},
      {"deflate data zeroed", patched(oneFile({.name = "f", .data = std::string(5000, 'x') + text}),
                                      30 + 1 + 4, std::string(4, '\0')),
       MZ_ZIP_DECOMPRESSION_FAILED},
      {"deflate data cut short",
       oneFile({.name = "f", .data = text, .compressedSize = uint32_t(deflateRaw(text).size() - 2)}),
       MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE},
  };
  for (auto& [what, bytes, why] : cases) {
    Reader r(bytes);
    ASSERT_TRUE(r.ok) << what;
    std::string out;
    EXPECT_FALSE(r.extractTo(0, &out)) << what;
    EXPECT_EQ(mz_zip_get_last_error(&r.zip), why) << what;
    EXPECT_EQ(mz_zip_get_last_error(&r.zip), MZ_ZIP_NO_ERROR) << "not cleared: " << what;
    EXPECT_LE(out.size(), text.size()) << "more than recorded handed out: " << what;
  }

  // Whole in memory, each fails for the same reason.
  for (auto& [what, bytes, why] : cases) {
    Reader r(bytes);
    EXPECT_EQ(r.extractWhole(0), std::nullopt) << what;
    EXPECT_EQ(mz_zip_get_last_error(&r.zip), why) << what;
  }

  Reader r(oneFile(plain));
  std::string out;
  EXPECT_FALSE(r.extractTo(1, &out));
  EXPECT_FALSE(r.extractTo(0, &out, MZ_ZIP_FLAG_COMPRESSED_DATA));
  mz_zip_reader_end(&r.zip);
  EXPECT_FALSE(r.extractTo(0, &out));
  EXPECT_EQ(out, "");
}

TEST(MinizExtract, RefusesSizesTheDataCannotProduceBeforeHandingAnythingOut) {
  std::string zeros(1 << 20, '\0');
  size_t packed = deflateRaw(zeros).size();
  ASSERT_LE(zeros.size(), packed * 1032);  // zlib's best stays within the bound
  Reader r(oneFile({.name = "z", .data = zeros, .uncompressedSize = uint32_t(packed * 1032 + 1)}));
  std::string out;
  EXPECT_FALSE(r.extractTo(0, &out));
  EXPECT_EQ(mz_zip_get_last_error(&r.zip), MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE);
  EXPECT_EQ(out.size(), 0u) << "handed out before refusing";
}

TEST(MinizExtract, HandlesDirectoriesDescriptorsAndEmptyData) {
  Reader r(ZipBuilder()
               .dir("d")
               .add({.name = "looks-like-dir", .data = "real bytes", .externalAttributes = 0x10})
               .add({.name = "bad-dir", .data = "x", .externalAttributes = 0x10, .crc = 5})
               .add({.name = "described", .data = "after the data", .dataDescriptor = true})
               .file("e", "")
               .build());
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.extract("d/"), "");
  EXPECT_EQ(r.extract("looks-like-dir"), "real bytes");
  EXPECT_EQ(r.extract("bad-dir"), std::nullopt);
  EXPECT_EQ(r.extract("described"), "after the data");
  EXPECT_EQ(r.extract("e"), "");
}

// Several MiB, so that output and checksum go through more than one slice.
TEST(MinizExtract, CallbackGetsEveryByteInSlicesAndCanStopIt) {
  std::string data;
  for (int i = 0; data.size() < (3u << 20) + 12345; ++i) data += "row " + std::to_string(i) + "\n";
  const uint32_t firstMiBCrc = crc32Of(data.substr(0, 1 << 20));
  Reader r(ZipBuilder()
               .add({.name = "deflated", .data = data})
               .add({.name = "stored", .data = data, .method = 0})
               .add({.name = "deflated, crc of the first MiB", .data = data, .crc = firstMiBCrc})
               .add({.name = "stored, crc of the first MiB", .data = data, .method = 0,
                     .crc = firstMiBCrc})
               .build());
  ASSERT_TRUE(r.ok);
  for (mz_uint i : {0u, 1u}) {
    std::string out;
    ASSERT_TRUE(r.extractTo(i, &out)) << i;
    EXPECT_TRUE(out == data) << "entry " << i;
    // A callback that takes less than it is given stops the extraction there.
    size_t calls = 0;
    auto refuseSecond = [](void* opaque, mz_uint64, const void*, size_t n) -> size_t {
      return ++*static_cast<size_t*>(opaque) == 2 ? n - 1 : n;
    };
    EXPECT_FALSE(mz_zip_reader_extract_to_callback(&r.zip, i, refuseSecond, &calls, 0)) << i;
    EXPECT_EQ(calls, 2u) << i;
    EXPECT_EQ(mz_zip_get_last_error(&r.zip), MZ_ZIP_WRITE_CALLBACK_FAILED) << i;
  }
  for (mz_uint i : {2u, 3u}) {
    std::string out;
    EXPECT_FALSE(r.extractTo(i, &out)) << i;
    EXPECT_EQ(mz_zip_get_last_error(&r.zip), MZ_ZIP_CRC_CHECK_FAILED) << i;
  }
}

TEST(MinizModes, WriterMakesTheEmptyArchiveAndModesChangeInTurn) {
  std::string out;
  mz_zip_archive zip{};
  EXPECT_FALSE(mz_zip_writer_init(&zip, 0));  // no write callback
  zip.m_pIO_opaque = &out;
  zip.m_pWrite = [](void* o, mz_uint64 at, const void* p, size_t n) -> size_t {
    static_cast<std::string*>(o)->resize(at);
    static_cast<std::string*>(o)->append(static_cast<const char*>(p), n);
    return n;
  };
  EXPECT_FALSE(mz_zip_writer_init(&zip, 5));
  ASSERT_TRUE(mz_zip_writer_init(&zip, 0));
  EXPECT_EQ(zip.m_zip_mode, MZ_ZIP_MODE_WRITING);
  EXPECT_FALSE(mz_zip_writer_init(&zip, 0));
  EXPECT_FALSE(mz_zip_reader_init_mem(&zip, out.data(), out.size(), 0));
  EXPECT_FALSE(mz_zip_reader_end(&zip));
  EXPECT_TRUE(mz_zip_writer_finalize_archive(&zip));
  EXPECT_EQ(zip.m_zip_mode, MZ_ZIP_MODE_WRITING_HAS_BEEN_FINALIZED);
  EXPECT_FALSE(mz_zip_writer_finalize_archive(&zip));
  EXPECT_TRUE(mz_zip_writer_end(&zip));
  EXPECT_EQ(zip.m_zip_mode, MZ_ZIP_MODE_INVALID);
  EXPECT_EQ(zip.m_pState, nullptr);
  EXPECT_EQ(out, std::string("PK\5\6", 4) + std::string(18, '\0'));

  ASSERT_TRUE(mz_zip_reader_init_mem(&zip, out.data(), out.size(), 0));
  EXPECT_EQ(zip.m_zip_mode, MZ_ZIP_MODE_READING);
  EXPECT_FALSE(mz_zip_writer_end(&zip));
  EXPECT_FALSE(mz_zip_reader_init_mem(&zip, out.data(), out.size(), 0));
  EXPECT_TRUE(mz_zip_reader_end(&zip));
  EXPECT_FALSE(mz_zip_reader_end(&zip));

  // A short write leaves the writer unfinished but endable.
  zip.m_pWrite = [](void*, mz_uint64, const void*, size_t n) -> size_t { return n - 1; };
  ASSERT_TRUE(mz_zip_writer_init(&zip, 0));
  EXPECT_FALSE(mz_zip_writer_finalize_archive(&zip));
  EXPECT_EQ(zip.m_zip_mode, MZ_ZIP_MODE_WRITING);
  EXPECT_TRUE(mz_zip_writer_end(&zip));
  EXPECT_EQ(zip.m_zip_mode, MZ_ZIP_MODE_INVALID);
}

// Whole entries in memory hold what the callback receives, stored or deflated, short or
// several MiB, in a buffer that is just large enough or larger; a smaller one is refused
// before anything is written.
TEST(MinizExtract, WholeEntriesInMemoryMatchWhatTheCallbackGets) {
  std::string text;
  for (int i = 0; text.size() < (3u << 20) + 777; ++i) text += "line " + std::to_string(i * 7) + "\n";
  std::string bytes;
  for (int i = 0; i < 1 << 16; ++i) bytes += char((i * 2654435761u) >> 24);
  Reader r(ZipBuilder()
               .file("text", text)
               .add({.name = "stored", .data = text, .method = 0})
               .file("bytes", bytes)
               .file("empty", "")
               .dir("d")
               .build());
  ASSERT_TRUE(r.ok);
  for (mz_uint i = 0; i < 5; ++i) {
    std::string streamed;
    ASSERT_TRUE(r.extractTo(i, &streamed)) << i;
    EXPECT_EQ(r.extractWhole(i), streamed) << i;
    EXPECT_EQ(r.extractWhole(i, streamed.size() + 100), streamed) << i;
  }
  EXPECT_EQ(r.extractWhole(0, text.size() - 1), std::nullopt);
  EXPECT_EQ(mz_zip_get_last_error(&r.zip), MZ_ZIP_BUF_TOO_SMALL);
  EXPECT_FALSE(mz_zip_reader_extract_to_mem(&r.zip, 0, nullptr, 0, 0));
  EXPECT_FALSE(mz_zip_reader_extract_to_mem(&r.zip, 9, nullptr, 0, 0));
}

// Without the name index lookups find what they find with it, in directory order.
TEST(MinizLocate, UnsortedReadersFindTheSameEntries) {
  ZipBuilder builder;
  const char* names[] = {"readme", "Docs/Guide.txt", "README", "b", "ReadMe", "a/", "a/b"};
  for (const char* name : names) builder.file(name, name);
  const std::string zip = builder.build();
  Reader sorted(zip), unsorted(zip, MZ_ZIP_FLAG_DO_NOT_SORT_CENTRAL_DIRECTORY);
  ASSERT_TRUE(sorted.ok && unsorted.ok);
  for (const char* wanted : {"readme", "README", "ReadMe", "rEADME", "docs/guide.txt", "B", "a/",
                             "A/B", "a", "missing", ""})
    for (mz_uint flags : {0u, mz_uint(MZ_ZIP_FLAG_CASE_SENSITIVE)})
      EXPECT_EQ(unsorted.find(wanted, flags), sorted.find(wanted, flags)) << wanted << " " << flags;
  EXPECT_EQ(unsorted.find("rEADME"), 0);
  EXPECT_EQ(unsorted.extract("ReadMe"), "ReadMe");
}
