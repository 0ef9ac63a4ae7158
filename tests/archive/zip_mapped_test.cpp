// The installer's file held as a mapping: read in place rather than copied, and a file cut
// short under the mapping reported as an ordinary failure instead of a death by SIGBUS.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fstream>
#include <sstream>
#include <string>

#include "archive_test_helpers.h"
#include "zip_archive.h"
#include "zip_builder.h"

namespace {

const size_t MiB = 1 << 20;


std::string installer(const std::string& zip) { return std::string(8192, '\x7f') + zip; }

// stored.bin (16 MiB, stored) then text.txt (deflated), with a comment.
std::string twoEntries() {
  ZipBuilderEntry stored;
  stored.name = "stored.bin";
  stored.data = noise(16 * MiB, 7);
  stored.method = 0;
  std::string text;
  for (int i = 0; i < 50000; ++i) text += "line " + std::to_string(i) + "\n";
  return ZipBuilder().add(stored).file("text.txt", text).comment("$AUTORUN$>true").build();
}

uint64_t rssAnonKib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  for (uint64_t value; status >> key;) {
    if (key == "RssAnon:" && status >> value) return value;
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

TEST(ZipMapped, FileIsReadInPlaceAndTheStreamIsReadIntoMemory) {
  TempDir dir;
  const std::string zip = twoEntries();
  writeFile(dir / "installer", installer(zip));
  ZipArchive mapped;
  const uint64_t before = rssAnonKib();
  ASSERT_TRUE(mapped.loadFile(dir / "installer"));
  EXPECT_TRUE(mapped.mapped());
  const std::string stored = mapped.readEntry(mapped.entryInfo("stored.bin"));
  // The 16 MiB entry was read through the mapping: its copy here is ours, the archive's
  // 16 MiB are not (the margin is for the sanitizers' bookkeeping).
  EXPECT_LT(rssAnonKib() - before, (stored.size() + 8 * MiB) / 1024);
  EXPECT_EQ(stored, noise(16 * MiB, 7));
  EXPECT_EQ(mapped.comment(), "$AUTORUN$>true");

  // A stream cannot be mapped: the same archive, read into memory.
  ZipArchive read;
  std::istringstream in(installer(zip));
  ASSERT_TRUE(read.loadStream(in));
  EXPECT_FALSE(read.mapped());
  EXPECT_EQ(read.names(), mapped.names());
  EXPECT_EQ(read.comment(), mapped.comment());
  EXPECT_TRUE(sameBytes(read.readEntry(read.entryInfo("stored.bin")), stored));
  EXPECT_TRUE(sameBytes(read.readEntry(read.entryInfo("text.txt")),
                        mapped.readEntry(mapped.entryInfo("text.txt"))));
  mapped.reset();
  EXPECT_FALSE(mapped.mapped());
  EXPECT_TRUE(mapped.names().empty());
}

TEST(ZipMapped, FileCutShortIsAFailureNamingTheFile) {
  TempDir dir;
  const std::string file = installer(twoEntries());
  const std::string path = dir / "installer";
  const std::string changed = "shown name: the installer file changed while it was running";
  writeFile(path, file);
  ZipArchive archive;
  ASSERT_TRUE(archive.loadFile(path, "shown name"));
  const ZipEntryInfo stored = archive.entryInfo("stored.bin");
  const ZipEntryInfo text = archive.entryInfo("text.txt");

  // Cut in the middle of the stored entry.
  ASSERT_EQ(truncate(path.c_str(), off_t(8 * MiB)), 0);
  EXPECT_EQ(messageOf([&] { archive.extractEntry(stored, [](const char*, size_t) {}); }), changed);
  EXPECT_EQ(messageOf([&] { archive.readEntry(text); }), changed);
  // Again: the guard still works after a jump, and lookups fail the same way.
  EXPECT_EQ(messageOf([&] { archive.readEntry(stored); }), changed);
  EXPECT_EQ(messageOf([&] { archive.entryInfo("text.txt"); }), changed);

  // Cut before loading ends: the central directory is gone while it is read.
  writeFile(path, file);
  ZipArchive second;
  ASSERT_TRUE(second.loadFile(path));
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  EXPECT_EQ(messageOf([&] { second.entryInfo("text.txt"); }),
            path + ": the installer file changed while it was running");
}

// Long entries are inflated on a helper thread ahead of the writer: the same bytes, the
// same refusals, and a writer's exception stops it.
TEST(ZipMapped, LongEntriesGiveTheSameResults) {
  std::string text;
  for (uint64_t i = 0; text.size() < 12 * MiB; ++i)
    text += "row " + std::to_string(i * 7919 % 100003) + "\n";
  ZipBuilderEntry broken;
  broken.name = "broken.txt";
  broken.data = text;
  broken.crc = 0x12345678;
  const std::string zip = ZipBuilder().file("long.txt", text).add(broken).build();
  TempDir dir;
  writeFile(dir / "installer", installer(zip));
  ZipArchive archive;
  ASSERT_TRUE(archive.loadFile(dir / "installer"));

  size_t chunks = 0;
  std::string out;
  archive.extractEntry(archive.entryInfo("long.txt"), [&](const char* data, size_t n) {
    ++chunks;
    out.append(data, n);
  });
  EXPECT_TRUE(out == text);
  EXPECT_GE(chunks, 12u);

  size_t handed = 0;
  EXPECT_EQ(messageOf([&] {
              archive.extractEntry(archive.entryInfo("broken.txt"),
                                   [&](const char*, size_t n) { handed += n; });
            }),
            "file couldn't be read: CRC mismatch");
  EXPECT_EQ(handed, text.size());

  handed = 0;
  EXPECT_EQ(messageOf([&] {
              archive.extractEntry(archive.entryInfo("long.txt"), [&](const char*, size_t n) {
                handed += n;
                if (handed >= 3 * MiB) throw std::runtime_error("disk full");
              });
            }),
            "disk full");
  EXPECT_EQ(handed, 3 * MiB);
  // The reader is free again at once.
  EXPECT_TRUE(archive.readEntry(archive.entryInfo("long.txt")) == text);
}

// Only our own reads are caught: a fault anywhere else ends the process as before.
TEST(ZipMappedDeathTest, OtherFaultsStillEndTheProcess) {
  TempDir dir;
  const std::string path = dir / "installer";
  writeFile(path, installer(twoEntries()));
  const auto killedByBus = [](int status) {
#ifdef __SANITIZE_ADDRESS__
    // AddressSanitizer reports the fault ("BUS") and exits.
    return WIFEXITED(status) && WEXITSTATUS(status) != 0;
#else
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS;
#endif
  };
  EXPECT_EXIT(
      {
        ZipArchive archive;
        if (!archive.loadFile(path)) std::exit(0);
        const int fd = open(path.c_str(), O_RDONLY);
        void* other = mmap(nullptr, 16 * MiB, PROT_READ, MAP_PRIVATE, fd, 0);
        if (other == MAP_FAILED || truncate(path.c_str(), 0) != 0) std::exit(0);
        std::printf("%d", static_cast<const volatile char*>(other)[8 * MiB]);
        std::exit(0);
      },
      killedByBus, "");
}

}  // namespace
