#include "extractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>

#include "entry_name.h"
#include "entry_placer.h"
#include "interruption.h"
#include "path_error.h"
#include "target_directory.h"
#include "tree.h"

namespace {

// Refuses, before anything on disk is touched, the names entry_name.h refuses.
void checkNames(const ZipEntries& records) {
  for (const ZipEntryInfo& record : records) {
    const std::string why = refusal(record.name);
    if (!why.empty()) throw std::runtime_error(record.name + ": " + why);
  }
}

// The process's umask. It can only be read by setting it; the other threads create no
// files meanwhile.
mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Checks every entry where the user will find it, through the target: a directory, or a
// regular file of the recorded size. The later of two entries of one name is the one that
// counts. What cannot be looked at (a directory whose mode forbids it) is taken on trust.
void verifyEntries(const TargetDirectory& target, const ZipEntries& records, bool foldsCase) {
  // Names as the file system compares them.
  const auto keyOf = [foldsCase](const std::vector<std::string>& components) {
    std::string key;
    for (const std::string& component : components)
      key += (foldsCase ? foldCase(component) : component) + "/";
    return key;
  };
  // A set of every name would weigh more than the rest of the run (11 MB for 100,000
  // entries): names are told apart by hash, and only those whose hash comes more than
  // once are kept whole.
  std::vector<size_t> hashes(records.size());
  for (size_t i = 0; i < records.size(); ++i)
    hashes[i] = std::hash<std::string>()(keyOf(nameComponents(records[i].name)));
  std::vector<size_t> sorted(hashes), repeated;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 1; i < sorted.size(); ++i)
    if (sorted[i] == sorted[i - 1] && (repeated.empty() || repeated.back() != sorted[i]))
      repeated.push_back(sorted[i]);
  sorted = std::vector<size_t>();  // not needed in the walk
  std::set<std::string> seen;  // of the names whose hash repeats
  std::optional<Directory> parent;
  std::vector<std::string> parentComponents;
  bool parentMissing = false;
  for (size_t i = records.size(); i-- > 0;) {
    const ZipEntryInfo record = records[i];
    std::vector<std::string> components = nameComponents(record.name);
    if (components.empty()) continue;  // the target itself
    if (std::binary_search(repeated.begin(), repeated.end(), hashes[i]) &&
        !seen.insert(keyOf(components)).second)
      continue;
    const std::string leaf = components.back();
    components.pop_back();
    if (!parent || components != parentComponents) {
      parentComponents = components;
      try {
        parent = target.open(target.root(), components, false);
        parentMissing = !parent;
      } catch (const std::runtime_error&) {
        parent.reset();
        parentMissing = false;
      }
      if (!parent && !parentMissing) continue;
    }
    struct stat st;
    bool there = false;
    const bool directory = isDirectoryName(record.name);
    // A directory entry may stand behind the user's link to it (logs -> app/logs): looked
    // at through the link, as the user does. A file entry replaced whatever stood there.
    const int follow = directory ? 0 : AT_SYMLINK_NOFOLLOW;
    if (parent && fstatat(parent->fd(), leaf.c_str(), &st, follow) == 0)
      there = directory
                  ? S_ISDIR(st.st_mode)
                  : S_ISREG(st.st_mode) && uint64_t(st.st_size) == record.uncompressedSize;
    else if (parent && errno == EACCES)
      continue;
    if (!there) throw std::runtime_error(record.name + ": missing after extraction");
  }
}
}  // namespace

Extractor::Extractor(const std::string& archivePath, const std::string& shownName)
    : archiveFile(shownName.empty() ? archivePath : shownName) {
  // A file without an archive leaves the archive empty; only damaged data throws.
  archiveFound = naming(archiveFile, [&] { return zipArchive.loadFile(archivePath, archiveFile); });
}

void Extractor::addListener(const std::shared_ptr<ExtractionListener>& listener) {
  listeners.push_back(listener);
}

ZipEntries Extractor::listEntries() {
  return naming(archiveFile, [&] { return zipArchive.entries(); });
}

Extractor::~Extractor() = default;

void Extractor::extractHere() {
  if (listEntries().empty()) return;
  extractInto(TargetDirectory::here());
}

void Extractor::extractAll(const std::string& targetDirectory) {
  if (listEntries().empty()) return;
  extractInto(TargetDirectory(targetDirectory));
}

void Extractor::extractInto(const TargetDirectory& target) {
  const ZipEntries records = listEntries();
  checkNames(records);
  left.clear();
  // Held until the extraction ends, not while the autorun command runs: a command may
  // start another installer here.
  const TargetLock lock = target.lock([this] {
    stopIfInterrupted();
    for (const auto& listener : listeners) listener->onWaiting();
  });
  const std::function<void()> tick = [this] {
    stopIfInterrupted();
    for (const auto& listener : listeners) listener->onPulse();
  };
  Tree tree(target, records.front().name, housekeeping, tick);
  try {
    EntryPlacer placer(zipArchive, tree, currentUmask(), listeners, tick);
    for (const ZipEntryInfo& record : records) placer.place(record, record.index + 1 == records.size());
    placer.finish();
    naming(records.front().name, [&] {
      tree.finish([&] { verifyEntries(target, records, tree.foldsCase()); }, tick);
    });
  } catch (...) {
    tree.abandon();
    keepLeftovers(tree, {});
    throw;
  }
  keepLeftovers(tree, tick);
}

void Extractor::keepLeftovers(const Tree& tree, const std::function<void()>& tick) {
  left = tree.left();
  if (deferred) return;
  const std::vector<std::string> more = housekeeping.runNow(tick);
  left.insert(left.end(), more.begin(), more.end());
}

Housekeeping Extractor::takeHousekeeping() {
  Housekeeping taken = std::move(housekeeping);
  housekeeping = Housekeeping();
  return taken;
}
