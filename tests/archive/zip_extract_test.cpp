// Extracting single entries: every byte, by index, in bounded chunks, with the reason for
// every refusal; and archives refused whole before anything is extracted.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "archive_test_helpers.h"
#include "zip_builder.h"

// Entries are written with designated initializers naming only the fields a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// The entry's bytes as extractEntry hands them out, checking the chunk size.
std::string extracted(ZipArchive& archive, const ZipEntryInfo& info) {
  std::string out;
  archive.extractEntry(info, [&](const char* data, size_t size) {
    EXPECT_LE(size, size_t(1) << 20);
    out.append(data, size);
  });
  return out;
}

std::string allByteValues() {
  std::string s;
  for (int round = 0; round < 3; ++round)
    for (int b = 0; b < 256; ++b) s += char(b);
  return s;
}

TEST(ZipExtract, HandsOutEntriesByteForByte) {
  std::string big;
  for (int i = 0; big.size() < (5u << 20) / 2; ++i) big += std::to_string(i * 7919) + ",";
  ZipArchive archive;
  load(archive, ZipBuilder()
                    .file("deflated.bin", allByteValues())
                    .add({.name = "stored.bin", .data = allByteValues(), .method = 0})
                    .file("empty", "")
                    .file("big", big)
                    .build());
  const auto& entries = archive.entries();
  EXPECT_EQ(extracted(archive, entries[0]), allByteValues());
  EXPECT_EQ(extracted(archive, entries[1]), allByteValues());
  EXPECT_EQ(extracted(archive, entries[2]), "");
  EXPECT_TRUE(extracted(archive, entries[3]) == big);
}

TEST(ZipExtract, RefusalsSayWhy) {
  const std::string text = "some text, some text, some text";
  const uint32_t size = uint32_t(text.size());
  ZipArchive archive;
  load(archive,
       ZipBuilder()
           .add({.name = "crc", .data = text, .crc = 1})
           .add({.name = "method", .data = deflateRaw(text), .method = 12, .crc = crc32Of(text),
                 .uncompressedSize = size})
           .add({.name = "encrypted", .data = text, .flags = 1})
           .add({.name = "claims more", .data = text, .uncompressedSize = size * 2})
           .add({.name = "claims less", .data = text, .uncompressedSize = size - 1})
           .file("good", "g")
           .build());
  const auto& entries = archive.entries();
  const std::string fixed = "file couldn't be read: ";
  const char* reasons[] = {"CRC mismatch", "unsupported compression method 12", "encrypted",
                           "data shorter than recorded", "data longer than recorded"};
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(messageOf([&] { extracted(archive, entries[i]); }), fixed + reasons[i]) << i;
  EXPECT_EQ(extracted(archive, entries[5]), "g") << "the archive stays usable";
  ZipEntryInfo beyond = entries[0];
  beyond.index = 99;
  EXPECT_EQ(messageOf([&] { extracted(archive, beyond); }), fixed + "no such entry");
}

TEST(ZipExtract, WhatTheWriterThrowsPassesUnchanged) {
  ZipArchive archive;
  load(archive, ZipBuilder().file("a", std::string(3u << 20, 'a')).file("b", "b").build());
  int chunks = 0;
  EXPECT_EQ(messageOf([&] {
              archive.extractEntry(archive.entries()[0], [&](const char*, size_t) {
                if (++chunks == 2) throw std::runtime_error("disk full, say");
              });
            }),
            "disk full, say");
  EXPECT_EQ(chunks, 2) << "went on after the writer failed";
  EXPECT_EQ(extracted(archive, archive.entries()[1]), "b");
}

// By index: names that are the same, or differ only in case, keep their own bytes.
TEST(ZipExtract, EntriesOfOneNameKeepTheirOwnBytes) {
  ZipArchive archive;
  load(archive, ZipBuilder()
                    .file("a.txt", "first")
                    .file("README", "upper")
                    .file("readme", "lower")
                    .file("a.txt", "second")
                    .build());
  std::vector<std::string> contents;
  for (const ZipEntryInfo& info : archive.entries()) contents.push_back(extracted(archive, info));
  EXPECT_EQ(contents, (std::vector<std::string>{"first", "upper", "lower", "second"}));
  EXPECT_EQ(archive.readEntry(archive.entryInfo("readme")), "lower");
  EXPECT_EQ(archive.readEntry(archive.entryInfo("READme")), "upper");
}

// readEntry reserves from the archive's record, so a caller's stale one changes nothing,
// and a size the compressed bytes cannot produce is refused before anything is allocated.
TEST(ZipExtract, ReadEntryTrustsTheArchiveNotTheRecordItIsGiven) {
  ZipArchive archive;
  const std::string zeros(1 << 16, '\0');
  const uint32_t packed = uint32_t(deflateRaw(zeros).size());
  load(archive, ZipBuilder()
                    .file("f", "the bytes")
                    .add({.name = "bomb", .data = zeros, .uncompressedSize = packed * 1032 + 1})
                    .build());
  ZipEntryInfo info = archive.entryInfo("f");
  info.uncompressedSize = 1000;
  info.compressedSize = 1;
  EXPECT_EQ(archive.readEntry(info), "the bytes");
  EXPECT_EQ(messageOf([&] { archive.readEntry(archive.entryInfo("bomb")); }),
            "file couldn't be read: data shorter than recorded");
}

// A hundred central records for one local entry would write a hundred times its size.
TEST(ZipExtract, OverlappingEntriesAreRefusedAtLoad) {
  const std::string data(4000, 'z');
  std::string zip = ZipBuilder().file("one", data).file("two", "2").build();
  std::string pointing = ZipBuilder()
                             .file("one", data)
                             .add({.name = "two", .data = data, .localHeaderOffset = 0})
                             .build();
  std::istringstream in(pointing);
  ZipArchive archive;
  EXPECT_EQ(messageOf([&] { archive.loadStream(in); }),
            "overlapping entries: two shares its data with one");
  EXPECT_EQ(archive.mode(), MZ_ZIP_MODE_INVALID);
  // Entries that merely touch are fine.
  load(archive, zip);
  EXPECT_EQ(archive.names(), (std::vector<std::string>{"one", "two"}));
}

}  // namespace

// Entries are inflated ahead of the caller, in order: whatever order the caller asks in,
// skipping directories, going back or asking twice, each entry gets its own bytes.
TEST(ZipExtract, AnyOrderOfRequestsGetsEachEntrysOwnBytes) {
  ZipBuilder builder;
  std::vector<std::string> contents;
  for (int i = 0; i < 3000; ++i) {
    if (i % 100 == 0) builder.dir("d" + std::to_string(i) + "/");
    std::string content = "entry " + std::to_string(i) + ":";
    while (content.size() < size_t(200 + i % 700)) content += std::to_string(i * 31 + int(content.size()));
    if (i == 1500) content = std::string(3u << 20, 'x') + content;  // longer than any buffer
    builder.file("f" + std::to_string(i), content);
    contents.push_back(content);
  }
  ZipArchive archive;
  load(archive, builder.build());
  std::vector<ZipEntryInfo> files;
  for (const ZipEntryInfo& info : archive.entries())
    if (info.name[0] == 'f') files.push_back(info);
  ASSERT_EQ(files.size(), contents.size());
  for (size_t i = 0; i < files.size(); ++i)
    ASSERT_TRUE(extracted(archive, files[i]) == contents[i]) << "in order, " << i;
  for (size_t i : {size_t(2999), size_t(7), size_t(7), size_t(8), size_t(1500), size_t(1499),
                   size_t(1501), size_t(2000), size_t(0)})
    ASSERT_TRUE(extracted(archive, files[i]) == contents[i]) << "out of order, " << i;
}

// The checks come at an entry's end whatever its length: the recorded bytes are handed out,
// then the entry is refused.
TEST(ZipExtract, LongEntriesAreCheckedAtTheirEnd) {
  const std::string text = [] {
    std::string s;
    for (int i = 0; s.size() < (3u << 20); ++i) s += std::to_string(i) + " ";
    return s;
  }();
  const uint32_t size = uint32_t(text.size());
  ZipArchive archive;
  load(archive, ZipBuilder()
                    .add({.name = "deflated", .data = text, .crc = crc32Of(text) ^ 1})
                    .add({.name = "stored", .data = text, .method = 0, .crc = crc32Of(text) ^ 1})
                    .add({.name = "claims less", .data = text, .uncompressedSize = size - 1})
                    .add({.name = "claims more", .data = text, .uncompressedSize = size + 1})
                    .file("good", text)
                    .build());
  const auto& entries = archive.entries();
  const std::string fixed = "file couldn't be read: ";
  const char* reasons[] = {"CRC mismatch", "CRC mismatch", "data longer than recorded",
                           "data shorter than recorded"};
  const uint64_t handedOut[] = {size, size, size - 1, size};
  for (size_t i = 0; i < 4; ++i) {
    uint64_t taken = 0;
    EXPECT_EQ(messageOf([&] {
                archive.extractEntry(entries[i], [&](const char*, size_t n) { taken += n; });
              }),
              fixed + reasons[i])
        << i;
    EXPECT_EQ(taken, handedOut[i]) << i;
  }
  EXPECT_TRUE(extracted(archive, entries[4]) == text);
}

// A writer that gives up among many small entries stops the inflating ahead; what follows
// and what came before can still be had.
TEST(ZipExtract, AWriterGivingUpAmongSmallEntriesLeavesTheRestReadable) {
  ZipBuilder builder;
  for (int i = 0; i < 200; ++i) builder.file("f" + std::to_string(i), std::string(1000 + i, char('a' + i % 26)));
  ZipArchive archive;
  load(archive, builder.build());
  const auto& entries = archive.entries();
  for (size_t i = 0; i < 50; ++i) extracted(archive, entries[i]);
  EXPECT_EQ(messageOf([&] {
              archive.extractEntry(entries[50], [](const char*, size_t) { throw std::runtime_error("no room"); });
            }),
            "no room");
  EXPECT_EQ(extracted(archive, entries[51]), std::string(1051, char('a' + 51 % 26)));
  EXPECT_EQ(extracted(archive, entries[50]), std::string(1050, char('a' + 50 % 26)));
  EXPECT_EQ(extracted(archive, entries[199]), std::string(1199, char('a' + 199 % 26)));
}

// Entries of several rooms each (just short of those that go aside), stored and deflated,
// taken by a slow writer: the helper ahead fills its rooms while the one being taken waits
// on the writing; neither waits for ever, and every entry keeps its own bytes.
TEST(ZipExtract, EntriesOfSeveralRoomsTakenSlowlyKeepTheirBytes) {
  ZipBuilder builder;
  std::vector<std::string> contents;
  for (int i = 0; i < 8; ++i) {
    std::string content;
    while (content.size() < ZipArchive::LONG_ENTRY - (1u << 20) + size_t(i) * 12345)
      content += "entry " + std::to_string(i) + " line " + std::to_string(content.size()) + "\n";
    ZipBuilderEntry entry;
    entry.name = "long-" + std::to_string(i);
    entry.data = content;
    entry.method = i % 3 == 0 ? 0 : 8;
    builder.add(entry);
    contents.push_back(content);
  }
  for (int i = 0; i < 5; ++i) builder.file("small-" + std::to_string(i), std::to_string(i));
  ZipArchive archive;
  load(archive, builder.build());
  const auto& entries = archive.entries();
  for (size_t i = 0; i < contents.size(); ++i) {
    std::string got;
    archive.extractEntry(entries[i], [&](const char* data, size_t n) {
      got.append(data, n);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    EXPECT_TRUE(sameBytes(got, contents[i])) << entries[i].name;
  }
  for (size_t i = 0; i < 5; ++i)
    EXPECT_EQ(extracted(archive, entries[contents.size() + i]), std::to_string(i));
}
