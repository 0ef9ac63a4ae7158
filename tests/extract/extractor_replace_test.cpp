// A run over an earlier installation: the earlier one survives every failure until the
// new one is complete, and nothing that stands where an entry goes is written through.
// Cases that need real file systems (tmpfs, bind mounts) or another user run as root only.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "extract_helpers.h"
#include "extractor.h"
#include "interruption.h"
#include "zip_builder.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {


// Version 1 of an installation, and what a user added to it since.
ZipBuilder version1() {
  return ZipBuilder().dir("top").dir("top/ro", 040555).file("top/ro/a", "old a").file("top/b", "old b");
}

// Names the extraction uses for its temporary files and stages.
bool holdsLeftovers(const std::map<std::string, std::string>& tree) {
  for (const auto& [path, what] : tree)
    if (path.find(".sfx-") != std::string::npos) return true;
  return false;
}

class ExtractorReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override { mkdir(target.c_str(), 0755); }
  void TearDown() override {
    unmountBelow(files.path());
    requestInterruption(0);
  }

  // Extracts `archive` into the target; returns the error message, or "" on success.
  std::string extract(const ZipBuilder& archive, std::shared_ptr<ExtractionListener> listener = {}) {
    Extractor extractor(saveArchive(files / "a.zip", archive.build()));
    if (listener) extractor.addListener(listener);
    std::string message = messageOf([&] { extractor.extractAll(target); });
    return message == "<no exception>" ? "" : message;
  }
  // The previous installation, with a file its user added.
  std::map<std::string, std::string> installVersion1() {
    EXPECT_EQ(extract(version1()), "");
    writeFile(target + "/top/user-notes", "mine");
    return snapshot(target);
  }
  bool mount(const std::string& source, const std::string& at, const char* type,
             unsigned long flags, const char* options) {
    return ::mount(source.c_str(), at.c_str(), type, flags, options) == 0;
  }

  UmaskScope mask{022};
  TempDir files;
  std::string target = files / "target";
};

TEST_F(ExtractorReplaceTest, FailedRunLeavesThePreviousInstallationAsItWas) {
  const auto before = installVersion1();
  ZipBuilderEntry damaged{.name = "top/ro/a", .data = "new a", .crc = 7};
  EXPECT_EQ(extract(ZipBuilder().dir("top").dir("top/ro", 040555).add(damaged).file("top/c", "c")),
            "top/ro/a: file couldn't be read: CRC mismatch");
  EXPECT_EQ(snapshot(target), before);
  // A complete run then replaces it whole.
  EXPECT_EQ(extract(ZipBuilder().dir("top").file("top/c", "c")), "");
  EXPECT_EQ(snapshot(target), (std::map<std::string, std::string>{{"top", "dir 0755"},
                                                                  {"top/c", "file 0644 c"}}));
}

TEST_F(ExtractorReplaceTest, FailedRunLeavesNoDirectoryItMadeForItsStage) {
  writeFile(target + "/mine", "the user's");
  ZipBuilderEntry damaged{.name = "a/b/app/f", .data = "f", .crc = 7};
  EXPECT_EQ(extract(ZipBuilder().dir("a/b/app").add(damaged)), "a/b/app/f: file couldn't be read: CRC mismatch");
  EXPECT_EQ(snapshot(target), (std::map<std::string, std::string>{{"mine", "file 0644 the user's"}}));
}

TEST_F(ExtractorReplaceTest, FullDiskNamesTheCutEntryAndLosesNothing) {
  if (!mount("tmpfs", target, "tmpfs", 0, "size=256k,mode=755")) GTEST_SKIP() << "needs root";
  const auto before = installVersion1();
  const std::string big = noise(400 << 10, 1);
  EXPECT_EQ(extract(ZipBuilder().dir("top").add({.name = "top/big", .data = big, .method = 0})
                        .file("top/small", "s")),
            "top/big: file couldn't be written: " + target + "/top/big: No space left on device");
  EXPECT_EQ(snapshot(target), before);
  // Outside the first entry's place too: the file that was there stays whole.
  writeFile(target + "/beside", "kept");
  EXPECT_EQ(extract(ZipBuilder().dir("top").add({.name = "beside", .data = big, .method = 0})),
            "beside: file couldn't be written: " + target + "/beside: No space left on device");
  EXPECT_EQ(readFile(target + "/beside"), "kept");
  EXPECT_FALSE(holdsLeftovers(snapshot(target)));
}

TEST_F(ExtractorReplaceTest, LinksFifosAndDevicesAreReplacedNotWrittenThrough) {
  writeFile(files / "original", "outside");
  ASSERT_EQ(link((files / "original").c_str(), (target + "/linked").c_str()), 0);
  ASSERT_EQ(mkfifo((target + "/fifo").c_str(), 0644), 0);
  const bool device = mknod((target + "/device").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  chmod((target + "/linked").c_str(), 0444);  // read-only files are replaced too
  ZipBuilder archive = ZipBuilder().dir("top").file("linked", "new").file("fifo", "f");
  if (device) archive.file("device", "d");
  // A FIFO opened for writing would wait for a reader for ever.
  auto run = std::async(std::launch::async, [&] { return extract(archive); });
  ASSERT_EQ(run.wait_for(std::chrono::seconds(120)), std::future_status::ready) << "hangs";
  EXPECT_EQ(run.get(), "");
  EXPECT_EQ(readFile(files / "original"), "outside");
  EXPECT_EQ(readFile(target + "/linked"), "new");
  EXPECT_EQ(readFile(target + "/fifo"), "f");
  if (device) {
    EXPECT_EQ(readFile(target + "/device"), "d");
  }
}

TEST_F(ExtractorReplaceTest, MountsInsideThePreviousInstallationKeepTheirContent) {
  installVersion1();
  for (const char* name : {"bound", "own"}) {
    ASSERT_EQ(mkdir((files / name).c_str(), 0755), 0);
    ASSERT_EQ(mkdir((target + "/top/" + name).c_str(), 0755), 0);
  }
  writeFile(files / "bound/keep", "bound");
  if (!mount(files / "bound", target + "/top/bound", nullptr, MS_BIND, nullptr))
    GTEST_SKIP() << "needs root";
  ASSERT_TRUE(mount("tmpfs", target + "/top/own", "tmpfs", 0, "size=64k"));
  writeFile(target + "/top/own/keep", "own");
  EXPECT_EQ(extract(ZipBuilder().dir("top").file("top/new", "n")), "");
  EXPECT_EQ(readFile(files / "bound/keep"), "bound");
  EXPECT_EQ(readFile(target + "/top/new"), "n");
  EXPECT_FALSE(exists(target + "/top/b"));
  // What could not go stays under a stage name, its mounts and their content with it.
  bool ownKept = false;
  for (const auto& [path, what] : snapshot(target))
    ownKept |= path.find("/own/keep") != std::string::npos && what == "file 0644 own";
  EXPECT_TRUE(ownKept);
}

// Runs an extraction of `archive` into `target` in a child process that dies, as a
// SIGKILL would leave it, once part of the entry whose path ends with `suffix` is written.
void extractAndDie(const std::string& archive, const std::string& target, const std::string& suffix) {
  struct Dying : RecordingListener {
    std::string suffix;
    void onProgress(uint64_t done, uint64_t) override {
      if (done > 0 && paths.back().ends_with(suffix)) _exit(9);
    }
  };
  pid_t pid = fork();
  if (pid == 0) {
    auto listener = std::make_shared<Dying>();
    listener->suffix = suffix;
    Extractor extractor(archive);
    extractor.addListener(listener);
    try {
      extractor.extractAll(target);
    } catch (...) {
    }
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 9) << "the child did not die where it should";
}

TEST_F(ExtractorReplaceTest, WhatKilledRunsLeftIsCleanedUpButLookAlikesStay) {
  const auto before = installVersion1();
  // Killed in the middle: its stage, its record and a temporary file outside the stage.
  ZipBuilder big = ZipBuilder().dir("top").file("top/x", "x").file("beside", noise(3 << 20, 5));
  saveArchive(files / "big.zip", big.build());
  extractAndDie(files / "big.zip", target, "/beside");
  std::set<std::string> left;
  for (const auto& [path, what] : snapshot(target))
    if (path.find('/') == std::string::npos) left.insert(path.substr(0, 9));
  EXPECT_EQ(left, (std::set<std::string>{".sfx-part", ".sfx-run.", ".sfx-stag", "top"}));
  // Names that merely look like ours are the user's.
  ASSERT_EQ(mkdir((target + "/.sfx-stage.top.my-backup").c_str(), 0755), 0);
  writeFile(target + "/.sfx-stage.top.my-backup/keep", "mine");
  writeFile(target + "/.sfx-part.f", "mine too");
  EXPECT_TRUE(holdsLeftovers(snapshot(target)));
  EXPECT_EQ(extract(ZipBuilder().dir("top").file("f", "whole").file(".sfx-part.g", "an entry")), "");
  auto after = snapshot(target);
  EXPECT_EQ(after, (std::map<std::string, std::string>{
                       {"top", "dir 0755"},
                       {"f", "file 0644 whole"},
                       {".sfx-part.g", "file 0644 an entry"},
                       {".sfx-part.f", "file 0644 mine too"},
                       {".sfx-stage.top.my-backup", "dir 0755"},
                       {".sfx-stage.top.my-backup/keep", "file 0644 mine"}}));
  (void)before;
}

// A listener that asks for an interruption, as a signal handler would, at one point.
struct Interrupter : RecordingListener {
  std::function<bool(uint64_t)> when;
  void onProgress(uint64_t done, uint64_t) override {
    if (when && when(done)) requestInterruption(SIGTERM);
  }
};

TEST_F(ExtractorReplaceTest, InterruptionCleansUpAndKeepsThePreviousInstallation) {
  const auto before = installVersion1();
  auto listener = std::make_shared<Interrupter>();
  listener->when = [](uint64_t done) { return done > 0; };  // within the first file
  ZipBuilder archive = ZipBuilder().dir("top").file("beside", noise(3 << 20, 2)).file("top/x", "x");
  Extractor extractor(saveArchive(files / "a.zip", archive.build()));
  extractor.addListener(listener);
  try {
    extractor.extractAll(target);
    FAIL() << "not interrupted";
  } catch (const Interrupted& stop) {
    EXPECT_EQ(stop.signal(), SIGTERM);
  }
  EXPECT_EQ(snapshot(target), before);
}

TEST_F(ExtractorReplaceTest, SecondRunWaitsForTheFirst) {
  int held = open(target.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  struct Waiter : RecordingListener {
    std::atomic<int> waits{0};
    void onWaiting() override { ++waits; }
  };
  auto waiter = std::make_shared<Waiter>();
  auto run = std::async(std::launch::async, [&] { return extract(ZipBuilder().dir("top"), waiter); });
  while (waiter->waits < 3) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(snapshot(target).empty()) << "touched the target while another run holds it";
  close(held);
  EXPECT_EQ(run.get(), "");
  EXPECT_TRUE(exists(target + "/top"));
}

TEST_F(ExtractorReplaceTest, LaterEntriesOfOneNameWin) {
  EXPECT_EQ(extract(ZipBuilder()
                        .dir("top")
                        .file("top/a.txt", "first")
                        .file("b.txt", "first")
                        .file("top/a.txt", "second")
                        .file("b.txt", "second")),
            "");
  EXPECT_EQ(readFile(target + "/top/a.txt"), "second");
  EXPECT_EQ(readFile(target + "/b.txt"), "second");
}

TEST_F(ExtractorReplaceTest, ProgressCountsEveryByteOfAnEntry) {
  struct Progress : RecordingListener {
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    void onProgress(uint64_t done, uint64_t total) override { seen.emplace_back(done, total); }
  };
  auto progress = std::make_shared<Progress>();
  const uint64_t size = (3u << 20) + 5;
  EXPECT_EQ(extract(ZipBuilder().file("f", std::string(size, 'p')), progress), "");
  ASSERT_GE(progress->seen.size(), 4u);
  for (size_t i = 1; i < progress->seen.size(); ++i)
    EXPECT_LE(progress->seen[i - 1].first, progress->seen[i].first);
  EXPECT_LT(progress->seen[0].first, size);
  EXPECT_EQ(progress->seen.back(), std::make_pair(size, size));
}

// Long entries are written on helper threads while the entries after them are placed:
// what lands, what a failure or a cancel leaves and what the window hears stay as for
// entries written one after another.
ZipBuilderEntry stored(const std::string& name, const std::string& data) {
  return {.name = name, .data = data, .method = 0};
}

TEST_F(ExtractorReplaceTest, LongEntriesLandWholeAmongShortOnes) {
  installVersion1();
  const std::string a1 = noise(5 << 20, 3), a2 = noise(6 << 20, 4), b = noise(4 << 20, 5);
  std::string text;
  for (int i = 0; text.size() < (9u << 20); ++i) text += std::to_string(i) + "\n";
  EXPECT_EQ(extract(ZipBuilder()
                        .dir("top")
                        .add(stored("top/a", a1))
                        .file("top/s", "short")
                        .file("top/t", text)
                        .add(stored("beside", b))
                        .file("top/a", a2)  // the later of one name wins
                        .file("top/z", "last")),
            "");
  EXPECT_TRUE(readFile(target + "/top/a") == a2) << "top/a is not the later entry";
  EXPECT_TRUE(readFile(target + "/top/t") == text) << "top/t differs";
  EXPECT_TRUE(readFile(target + "/beside") == b) << "beside differs";
  EXPECT_EQ(readFile(target + "/top/s"), "short");
  EXPECT_EQ(readFile(target + "/top/z"), "last");
  EXPECT_FALSE(holdsLeftovers(snapshot(target)));
  EXPECT_FALSE(exists(target + "/top/user-notes")) << "the previous installation stayed";
}

TEST_F(ExtractorReplaceTest, AFailedOrCancelledLongEntryKeepsThePreviousInstallation) {
  const auto before = installVersion1();
  const std::string big = noise(5 << 20, 6);
  ZipBuilderEntry damaged = stored("top/bad", big);
  damaged.crc = 7;
  // The damaged entry may end before or after the whole ones around it.
  EXPECT_EQ(extract(ZipBuilder()
                        .dir("top")
                        .add(stored("top/good", big))
                        .add(damaged)
                        .add(stored("top/after", big))
                        .file("top/z", "z")),
            "top/bad: file couldn't be read: CRC mismatch");
  EXPECT_EQ(snapshot(target), before);

  // Closed while long entries are on their way: their helpers stop before their files go.
  struct Closer : RecordingListener {
    void onEntry(const std::string& path) override {
      if (path.size() > 2 && path.compare(path.size() - 2, 2, "/y") == 0) throw Cancelled();
    }
  };
  Extractor extractor(saveArchive(files / "a.zip", ZipBuilder()
                                                      .dir("top")
                                                      .add(stored("top/one", big))
                                                      .add(stored("top/two", noise(16 << 20, 8)))
                                                      .file("top/y", "y")
                                                      .file("top/z", "z")
                                                      .build()));
  extractor.addListener(std::make_shared<Closer>());
  EXPECT_THROW(extractor.extractAll(target), Cancelled);
  EXPECT_EQ(snapshot(target), before);
}

TEST_F(ExtractorReplaceTest, TheEndShowsOnlyOnceEveryLongEntryLanded) {
  // The size of "beside" whenever the last entry is reported complete (once per chunk and
  // once landed): it is written behind another name, so it shows only once it landed.
  struct AtTheEnd : RecordingListener {
    std::string last, beside;
    std::vector<off_t> besideSizes;
    void onProgress(uint64_t done, uint64_t total) override {
      struct stat st;
      if (!paths.empty() && paths.back() == last && done == total)
        besideSizes.push_back(stat(beside.c_str(), &st) == 0 ? st.st_size : -1);
    }
  };
  auto listener = std::make_shared<AtTheEnd>();
  listener->last = target + "/top/z";
  listener->beside = target + "/beside";
  EXPECT_EQ(extract(ZipBuilder().dir("top").add(stored("beside", noise(16 << 20, 7))).file("top/z", "last"),
                    listener),
            "");
  ASSERT_FALSE(listener->besideSizes.empty());
  for (off_t size : listener->besideSizes) EXPECT_EQ(size, off_t(16) << 20);
}

// Runs `body` in a child process as user and group 65534; its failures come back as text.
std::string asNobody(const std::function<std::string()>& body) {
  return inChild([&] {
    return setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                   setresuid(65534, 65534, 65534) == 0
               ? body()
               : "cannot become 65534";
  });
}

TEST_F(ExtractorReplaceTest, OwnersReplaceTheirReadOnlyInstallations) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(files.path().c_str(), 0755), 0);
  ZipBuilder locked = ZipBuilder().dir("top", 040555).dir("top/in", 040500).file("top/in/f", "1", 0100444);
  saveArchive(files / "locked.zip", locked.build());
  saveArchive(files / "next.zip", ZipBuilder().dir("top").file("top/g", "2").build());
  const std::string path = target;
  EXPECT_EQ(asNobody([&] {
              for (const char* archive : {"locked.zip", "locked.zip", "next.zip"}) {
                std::string error = messageOf([&] { Extractor(files / archive).extractAll(path); });
                if (error != "<no exception>") return std::string(archive) + ": " + error;
              }
              return std::string();
            }),
            "");
  EXPECT_EQ(snapshot(target), (std::map<std::string, std::string>{{"top", "dir 0755"},
                                                                  {"top/g", "file 0644 2"}}));
}

// A directory of the target swapped for a link to elsewhere, over and over while entries
// are written into it: nothing may ever land outside.
TEST_F(ExtractorReplaceTest, SwappedDirectoriesNeverLeadOutside) {
  const std::string outside = files / "outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ZipBuilder archive = ZipBuilder().dir("top").dir("sub");
  for (int i = 0; i < 300; ++i) archive.file("sub/f" + std::to_string(i), "x");
  saveArchive(files / "race.zip", archive.build());
  for (int round = 0; round < 8; ++round) {
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      const std::string sub = target + "/sub", aside = target + "/sub-aside";
      while (!done) {
        if (rename(sub.c_str(), aside.c_str()) == 0) {
          symlink(outside.c_str(), sub.c_str());
          std::this_thread::yield();
          unlink(sub.c_str());
          rename(aside.c_str(), sub.c_str());
        }
        std::this_thread::yield();
      }
    });
    messageOf([&] { Extractor(files / "race.zip").extractAll(target); });
    done = true;
    swapper.join();
    EXPECT_TRUE(snapshot(outside).empty()) << "round " << round;
  }
}

TEST_F(ExtractorReplaceTest, ADirectoryEntryBehindTheUsersLinkIntoThePlaceIsFoundThroughIt) {
  installVersion1();
  ASSERT_EQ(mkdir((target + "/top/logs").c_str(), 0755), 0);
  ASSERT_EQ(symlink("top/logs", (target + "/logs").c_str()), 0);
  EXPECT_EQ(extract(ZipBuilder().dir("top").dir("logs").file("logs/today", "new log")), "");
  EXPECT_EQ(snapshot(target), (std::map<std::string, std::string>{
                                  {"logs", "link top/logs"},
                                  {"top", "dir 0755"},
                                  {"top/logs", "dir 0755"},
                                  {"top/logs/today", "file 0644 new log"}}));
}

// The place mounted again elsewhere in the target: an entry there would write into the
// previous installation, which must stay as it was until the new one is complete.
TEST_F(ExtractorReplaceTest, ThePreviousInstallationIsNeverWrittenUnderAnotherName) {
  const auto before = installVersion1();
  ASSERT_EQ(mkdir((target + "/again").c_str(), 0755), 0);
  if (!mount(target + "/top", target + "/again", nullptr, MS_BIND, nullptr))
    GTEST_SKIP() << "a bind mount needs root";
  const std::string error =
      extract(ZipBuilder().dir("top").file("top/new", "n").file("again/b", "written through"));
  EXPECT_NE(error.find("again/b: " + target + "/again: lies in the previous installation"),
            std::string::npos)
      << error;
  umount2((target + "/again").c_str(), MNT_DETACH);
  rmdir((target + "/again").c_str());
  EXPECT_EQ(snapshot(target), before);
}

// A run that fails early (out of descriptors at any step) leaves nothing of its own that
// no record names: the next run finds and removes all of it.
TEST_F(ExtractorReplaceTest, EarlyFailuresLeaveNothingUnrecorded) {
  installVersion1();
  saveArchive(files / "new.zip",
              ZipBuilder().dir("top").file("top/a", "a").file("beside", noise(1 << 20, 3)).build());
  saveArchive(files / "next.zip", ZipBuilder().dir("top").file("top/b", "b").build());
  for (rlim_t limit = 4; limit <= 24; ++limit) {
    const pid_t pid = fork();
    if (pid == 0) {
      const rlimit few = {limit, limit};
      setrlimit(RLIMIT_NOFILE, &few);
      const std::string error = messageOf([&] { Extractor(files / "new.zip").extractAll(target); });
      _exit(error == "<no exception>" ? 0 : 3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "limit " << limit << ": status " << status;
    EXPECT_EQ(extract(ZipBuilder().dir("top").file("top/b", "b")), "") << "limit " << limit;
    EXPECT_FALSE(holdsLeftovers(snapshot(target))) << "limit " << limit;
  }
}

}  // namespace
