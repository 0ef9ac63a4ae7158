// Long entries extracted aside, on helper threads straight to their writers, while the
// caller goes on: each gets its own bytes and its own outcome, a failure says why, and
// once the helpers are stopped no writer is called.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdio>

#include <atomic>
#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "archive_test_helpers.h"
#include "zip_builder.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

const size_t MiB = size_t(1) << 20;

std::string text(size_t size, int seed) {
  std::string s;
  for (uint64_t i = uint64_t(seed); s.size() < size; ++i) s += std::to_string(i * 7919 % 100003) + " ";
  s.resize(size);
  return s;
}


// The outcomes of `count` entries extracted aside, by index: "" when whole, else the
// message of what it threw. Each index must come once.
std::map<uint64_t, std::string> outcomes(ZipArchive& archive, size_t count) {
  std::map<uint64_t, std::string> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (seen.size() < count && std::chrono::steady_clock::now() < deadline) {
    for (const ZipArchive::AsideEnd& end : archive.extractedAside(std::chrono::milliseconds(25))) {
      std::string message;
      if (end.failure) message = messageOf([&] { std::rethrow_exception(end.failure); });
      EXPECT_TRUE(seen.emplace(end.index, message).second) << "entry " << end.index << " ended twice";
    }
  }
  return seen;
}

TEST(ZipAside, EachLongEntryEndsWithItsOwnBytesOrWhy) {
  const std::string deflated = text(5 * MiB, 1), stored = noise(6 * MiB, 2), bad = text(5 * MiB, 3);
  ZipArchive archive;
  load(archive, ZipBuilder()
                    .file("deflated", deflated)
                    .file("short", "s")
                    .add({.name = "stored", .data = stored, .method = 0})
                    .add({.name = "crc", .data = bad, .crc = crc32Of(bad) ^ 1})
                    .add({.name = "claims less", .data = bad, .uncompressedSize = uint32_t(bad.size() - 1)})
                    .build());
  const auto& entries = archive.entries();
  std::string out[5];
  ChunkWriter writers[5];
  for (size_t i = 0; i < 5; ++i)
    writers[i] = [&out, i](const char* data, size_t size) { out[i].append(data, size); };
  EXPECT_FALSE(archive.extractAside(entries[1], writers[1])) << "a short entry went aside";
  for (size_t i : {0, 2, 3, 4}) ASSERT_TRUE(archive.extractAside(entries[i], writers[i])) << i;
  // Meanwhile this thread extracts as before, the same long entry included.
  std::string here;
  archive.extractEntry(entries[1], [&](const char* data, size_t size) { here.append(data, size); });
  EXPECT_EQ(here, "s");
  EXPECT_TRUE(sameBytes(archive.readEntry(entries[0]), deflated));

  const std::string fixed = "file couldn't be read: ";
  EXPECT_EQ(outcomes(archive, 4), (std::map<uint64_t, std::string>{
                                      {0, ""},
                                      {2, ""},
                                      {3, fixed + "CRC mismatch"},
                                      {4, fixed + "data longer than recorded"}}));
  EXPECT_TRUE(sameBytes(out[0], deflated));
  EXPECT_TRUE(sameBytes(out[2], stored));
  EXPECT_EQ(out[1], "") << "the short entry was extracted aside";
}

TEST(ZipAside, WhatTheWriterThrowsPassesAndStoppedHelpersCallNoWriter) {
  const std::string a = text(8 * MiB, 4), b = text(8 * MiB, 5);
  ZipArchive archive;
  load(archive, ZipBuilder().file("a", a).file("b", b).build());
  int chunksOfA = 0;
  const ChunkWriter failing = [&](const char*, size_t) {
    if (++chunksOfA == 2) throw std::runtime_error("disk full, say");
  };
  ASSERT_TRUE(archive.extractAside(archive.entries()[0], failing));
  EXPECT_EQ(outcomes(archive, 1), (std::map<uint64_t, std::string>{{0, "disk full, say"}}));
  EXPECT_EQ(chunksOfA, 2) << "went on after the writer failed";

  std::atomic<int> chunksOfB{0};
  const ChunkWriter slow = [&](const char*, size_t) {
    ++chunksOfB;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  ASSERT_TRUE(archive.extractAside(archive.entries()[1], slow));
  while (archive.writtenAside(1) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  archive.stopAside();
  const int calls = chunksOfB;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(chunksOfB, calls) << "a writer was called after the helpers stopped";
  EXPECT_LT(size_t(calls), b.size() / MiB) << "the helper ran to the end before stopping";
  EXPECT_EQ(archive.extractedAside(std::chrono::milliseconds(0)).size(), 0u);
}

// A deflated long entry goes whole into the bytes its whole writer maps; where it gives
// none, faults writing them, or holds a damaged entry, the bytes and the reason come as
// they would without one.
TEST(ZipAside, WholeEntriesGoStraightIntoTheirMappingOrTheWayTheyWould) {
  const std::string good = text(5 * MiB, 6), bad = text(5 * MiB, 7);
  ZipArchive archive;
  load(archive, ZipBuilder()
                    .file("whole", good)
                    .file("refused", good)
                    .file("faults", good)
                    .add({.name = "crc", .data = bad, .crc = crc32Of(bad) ^ 1})
                    .file("throws", good)
                    .add({.name = "stored", .data = good, .method = 0})
                    .build());
  const auto& entries = archive.entries();
  const size_t count = entries.size();
  std::vector<std::string> streamed(count);
  std::vector<ChunkWriter> writers(count);
  std::vector<WholeWriter> wholes(count);
  std::vector<std::string> mapped(count);
  std::vector<int> unmapped(count, -1);  // -1: never, else whether it was whole
  std::vector<char*> buffers(count, nullptr);
  // The callbacks run on the archive's helpers, where no record may be read: the names are
  // taken beforehand.
  std::vector<std::string> names;
  for (const ZipEntryInfo& entry : entries) names.push_back(entry.name);
  // The faulting one maps pages of an empty file: writing them raises SIGBUS.
  FILE* empty = tmpfile();
  ASSERT_NE(empty, nullptr);
  for (size_t i = 0; i < count; ++i) {
    writers[i] = [&, i](const char* data, size_t size) { streamed[i].append(data, size); };
    wholes[i].map = [&, i](uint64_t size) -> char* {
      const std::string& name = names[i];
      if (name == "refused") return nullptr;
      if (name == "throws") throw std::runtime_error("no room, say");
      const int fd = name == "faults" ? fileno(empty) : -1;
      void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                      fd >= 0 ? MAP_SHARED : MAP_PRIVATE | MAP_ANONYMOUS, fd, 0);
      return at == MAP_FAILED ? nullptr : (buffers[i] = static_cast<char*>(at));
    };
    wholes[i].unmap = [&, i](char* at, uint64_t size, bool whole) {
      if (whole) mapped[i].assign(at, size);
      unmapped[i] = whole;
      munmap(at, size);
    };
    ASSERT_TRUE(archive.extractAside(entries[i], writers[i], &wholes[i])) << i;
  }
  const std::string fixed = "file couldn't be read: ";
  EXPECT_EQ(outcomes(archive, count), (std::map<uint64_t, std::string>{{0, ""},
                                                                       {1, ""},
                                                                       {2, ""},
                                                                       {3, fixed + "CRC mismatch"},
                                                                       {4, "no room, say"},
                                                                       {5, ""}}));
  fclose(empty);
  EXPECT_TRUE(sameBytes(mapped[0], good));
  EXPECT_EQ(streamed[0], "") << "a whole entry came through the writer too";
  EXPECT_EQ(unmapped[1], -1);
  EXPECT_TRUE(sameBytes(streamed[1], good)) << "refused";
  EXPECT_EQ(unmapped[2], 0) << "a faulting mapping was taken as whole";
  EXPECT_TRUE(sameBytes(streamed[2], good)) << "faults";
  EXPECT_EQ(unmapped[3], 0);
  EXPECT_EQ(mapped[3], "");
  EXPECT_EQ(unmapped[5], -1) << "a stored entry was mapped";
  EXPECT_TRUE(sameBytes(streamed[5], good)) << "stored";
}

// The read-ahead passes long entries over; asked for one, extractEntry takes it itself,
// and the short entries around it keep their own bytes.
TEST(ZipAside, ShortEntriesAroundLongOnesKeepTheirBytes) {
  ZipBuilder builder;
  std::vector<std::string> contents;
  for (int i = 0; i < 40; ++i) {
    contents.push_back(i % 9 == 4 ? text(4 * MiB + size_t(i), i) : text(size_t(100 + i * 37), i));
    builder.file("f" + std::to_string(i), contents.back());
  }
  ZipArchive archive;
  load(archive, builder.build());
  for (size_t i = 0; i < contents.size(); ++i)
    ASSERT_TRUE(sameBytes(archive.readEntry(archive.entries()[i]), contents[i])) << i;
}

}  // namespace
