// What a later run does with the records it finds: those provably ours are put right, and
// anything else (another user's record, a record others could write, names that are not the
// user's, paths that climb) is left exactly as it is. Planting "another user's" files needs
// root (chown); those cases are skipped without it.
#include "held_record.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "extract_helpers.h"
#include "housekeeping.h"
#include "run_record.h"
#include "test_files.h"

namespace {

const char TOKEN[] = "0123456789abcdef";
const uid_t STRANGER = 65534;

using Fields = std::vector<std::pair<std::string, std::string>>;

class DeadRunsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(target.c_str(), 0755), 0); }

  // A record as a run of ours writes it, named with TOKEN.
  std::string plantRecord(const Fields& fields, mode_t mode = 0600) {
    std::string bytes = run_record_format::MAGIC;
    for (const auto& [key, value] : fields) bytes += key + '\0' + value + '\0';
    const std::string path = target + "/" + run_record_format::PREFIX + TOKEN;
    writeFile(path, bytes);
    chmod(path.c_str(), mode);
    return path;
  }

  void plantTree(const std::string& name, const std::string& content) {
    ASSERT_EQ(mkdir((target + "/" + name).c_str(), 0755), 0);
    writeFile(target + "/" + name + "/f", content);
  }

  // Puts right what dead runs left, as a run starting in the target does.
  std::vector<std::string> recover() {
    TargetDirectory dir(target);
    RunRecord own(dir.root());
    std::vector<std::string> left;
    Housekeeping housekeeping;
    for (HeldRecord& dead : takeDeadRecords(dir.root(), own)) {
      dead.putBack({}, &left);
      housekeeping.add(std::move(dead));
    }
    const std::vector<std::string> more = housekeeping.runNow();
    left.insert(left.end(), more.begin(), more.end());
    return left;
  }

  // What the target holds.
  std::map<std::string, std::string> tree() { return snapshot(target); }
  // What it holds but records: a record of ours whose names are gone may go.
  std::map<std::string, std::string> unrecorded() {
    std::map<std::string, std::string> all = snapshot(target);
    all.erase(std::string(run_record_format::PREFIX) + TOKEN);
    return all;
  }

  UmaskScope mask{022};
  TempDir scratch;
  std::string target = scratch / "target";
  const std::string stage = std::string(".sfx-stage.app.") + TOKEN;
  const std::string aside = std::string(".sfx-old.app.") + TOKEN;
};

TEST_F(DeadRunsTest, OurRecordsPutThePlaceBackOrFinishTheReplacement) {
  // Killed between stepping the previous installation aside and putting the new one in.
  plantTree(aside, "previous");
  plantTree(stage, "new, not verified");
  plantRecord({{"holder", ""}, {"place", "app"}, {"stage", stage}, {"aside", aside}});
  EXPECT_TRUE(recover().empty());
  EXPECT_EQ(tree(), (std::map<std::string, std::string>{{"app", "dir 0755"},
                                                         {"app/f", "file 0644 previous"}}));

  // Killed while a complete stage replaced the place in place (an overlay).
  plantTree(stage, "new");
  plantRecord({{"holder", ""}, {"place", "app"}, {"stage", stage}, {"finishing", ""}});
  EXPECT_TRUE(recover().empty());
  EXPECT_EQ(tree(), (std::map<std::string, std::string>{{"app", "dir 0755"},
                                                         {"app/f", "file 0644 new"}}));
}

TEST_F(DeadRunsTest, RecordsThatAreNotProvablyOursAreLeftAlone) {
  plantTree("photos", "the user's photos");
  plantTree(std::string(".sfx-stage.photos.") + TOKEN, "planted");
  const Fields replacePhotos = {{"holder", ""},
                                {"place", "photos"},
                                {"stage", std::string(".sfx-stage.photos.") + TOKEN},
                                {"finishing", ""}};
  const std::string record = plantRecord(replacePhotos, 0644);  // others may read it
  auto before = tree();
  EXPECT_TRUE(recover().empty());
  EXPECT_EQ(tree(), before) << "a record others may open was obeyed";

  // A second name for a file elsewhere is not a record of ours either.
  chmod(record.c_str(), 0600);
  before = tree();
  ASSERT_EQ(link(record.c_str(), (scratch / "elsewhere").c_str()), 0);
  EXPECT_TRUE(recover().empty());
  EXPECT_EQ(tree(), before) << "a hard-linked record was obeyed";
  unlink((scratch / "elsewhere").c_str());

  if (geteuid() != 0) GTEST_SKIP() << "planting another user's record needs root";
  ASSERT_EQ(chown(record.c_str(), STRANGER, STRANGER), 0);
  EXPECT_TRUE(recover().empty());
  EXPECT_TRUE(recover().empty());
  EXPECT_EQ(tree(), before) << "another user's record was obeyed";
}

TEST_F(DeadRunsTest, NamesThatAreNotTheUsersAreNeitherRenamedInNorRemoved) {
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's trees needs root";
  const auto strangers = [&](const std::string& name) {
    ASSERT_EQ(chown((target + "/" + name).c_str(), STRANGER, STRANGER), 0);
  };
  // An aside and a stage of another user's: neither goes in where the place is missing.
  plantTree(aside, "another user's");
  strangers(aside);
  plantTree(stage, "another user's too");
  strangers(stage);
  plantRecord({{"holder", ""}, {"place", "app"}, {"stage", stage}, {"aside", aside}});
  auto before = unrecorded();
  recover();
  EXPECT_EQ(unrecorded(), before);

  // Our complete stage does not replace a place that is another user's.
  for (const std::string& name : {aside, stage})
    ASSERT_EQ(runCommand("rm -rf " + shellQuote(target + "/" + name)).status, 0);
  plantTree("app", "another user's place");
  strangers("app");
  plantTree(stage, "ours");
  plantRecord({{"holder", ""}, {"place", "app"}, {"stage", stage}, {"finishing", ""}});
  before = tree();
  recover();
  EXPECT_EQ(tree(), before) << "the record that still names our stage must stay";
}

TEST_F(DeadRunsTest, TemporariesAreReachedOnlyDownwardAndOnlyOurs) {
  const std::string part = std::string(".sfx-part.") + TOKEN + ".0";
  ASSERT_EQ(mkdir((scratch / "outside").c_str(), 0755), 0);
  writeFile(scratch / "outside/" + part, "outside the target");
  ASSERT_EQ(mkdir((target + "/sub").c_str(), 0755), 0);
  writeFile(target + "/sub/" + part, "ours");
  ASSERT_EQ(symlink("../outside", (target + "/link").c_str()), 0);

  // A path that climbs makes the whole record not ours.
  plantRecord({{"temporaries", "../outside"}, {"temporaries", "sub"}});
  recover();
  EXPECT_TRUE(exists(scratch / "outside/" + part));
  EXPECT_TRUE(exists(target + "/sub/" + part));

  // A link on the way is not followed; what lies downward goes.
  plantRecord({{"temporaries", "link"}, {"temporaries", "sub"}});
  recover();
  EXPECT_TRUE(exists(scratch / "outside/" + part));
  EXPECT_FALSE(exists(target + "/sub/" + part));
}

TEST_F(DeadRunsTest, RecordsAreBounded) {
  const std::string part = std::string(".sfx-part.") + TOKEN + ".0";
  writeFile(target + "/" + part, "would go with a record of sane size");
  Fields many(run_record_format::MAX_TEMPORARY_DIRECTORIES + 1, {"temporaries", ""});
  const std::string record = plantRecord(many);
  recover();
  EXPECT_TRUE(exists(record));
  EXPECT_TRUE(exists(target + "/" + part));

  std::string deep = "a";
  while (deep.size() < run_record_format::MAX_BYTES) deep += "/a";
  plantRecord({{"temporaries", ""}, {"temporaries", deep}});
  recover();
  EXPECT_TRUE(exists(target + "/" + part));

  plantRecord({{"temporaries", ""}});
  recover();
  EXPECT_FALSE(exists(target + "/" + part));
  EXPECT_FALSE(exists(record));
}

}  // namespace
