#include "extractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>

#include "aside_files.h"
#include "held_record.h"
#include "housekeeping.h"
#include "entry_file.h"
#include "entry_name.h"
#include "interruption.h"
#include "path_error.h"
#include "run_record.h"
#include "staged_place.h"
#include "target_directory.h"

namespace {

// Refuses, before anything on disk is touched, the names entry_name.h refuses.
void checkName(const std::string& name) {
  const std::string why = refusal(name);
  if (!why.empty()) throw std::runtime_error(name + ": " + why);
}

void checkNames(const ZipEntries& records) {
  for (const ZipEntryInfo& record : records) checkName(record.name);
}

// The process's umask. It can only be read by setting it; the other threads create no
// files meanwhile.
mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Where an entry lands: the directory that holds it, its name there, and its path as the
// user sees it.
struct Place {
  const Directory* dir;
  std::string name;
  std::string shown;
  bool standing;  // the stage or the target itself, which exist already
  bool unseen;    // inside the stage
};

// The path of `dir` below the target's, as components.
std::vector<std::string> componentsBelow(const TargetDirectory& target, const Directory& dir) {
  return nameComponents(dir.path().substr(std::min(dir.path().size(), target.path().size())));
}

// The places of one extraction's entries: in the stage for those at or below the first
// entry's place, else in the target, and the directory modes that wait for the end. What
// killed runs left beside the place is put right first, and this run's own record kept
// there.
class Tree {
 public:
  Tree(const TargetDirectory& target, const ZipEntryInfo& first, Housekeeping& housekeeping,
       const std::function<void()>& tick)
      : target(target), place(nameComponents(first.name)), housekeeping(housekeeping) {
    record.emplace(target.root());
    // A place a killed run left missing is put back before anything else; the rest of
    // what it left is for the housekeeping.
    for (HeldRecord& dead : takeDeadRecords(target.root(), *record)) {
      dead.putBack(tick, &leftovers);
      housekeeping.add(std::move(dead));
    }
    const std::vector<std::string> parents(place.begin(), place.end() - (place.empty() ? 0 : 1));
    // The directories above the place that this run makes go again if it fails.
    for (size_t depth = parents.size(); depth > 0; --depth) {
      const std::vector<std::string> above(parents.begin(), parents.begin() + depth);
      if (target.open(target.root(), above, false)) break;
      record->noteMade(above);
    }
    holder = *target.open(target.root(), parents, true);
    if (place.empty()) return;
    record->notePlace(componentsBelow(target, holder), place.back());
    struct stat st;
    if (fstatat(holder.fd(), place.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
      oldTree = FileId{st.st_dev, st.st_ino};
    staged.emplace(holder, place.back(), isDirectoryName(first.name), *record);
    redirect = [this](const std::vector<std::string>& components) { return start(components); };
  }

  // Creates the entry's missing parent directories and tells where it lands.
  Place placeOf(const std::vector<std::string>& components, bool directory) {
    const std::optional<std::vector<std::string>> below = belowStage(components);
    if (below && below->empty()) {
      // The first entry's place itself: its stage.
      if (staged->isDirectory() && !directory)
        throw std::runtime_error("file couldn't be written: " + staged->finalPath() +
                                 ": Is a directory");
      if (!staged->isDirectory() && directory) throw pathError(staged->finalPath(), EEXIST);
      return {&staged->parent(), staged->stageName(), staged->finalPath(), true, false};
    }
    if (below && !staged->isDirectory()) throw pathError(staged->finalPath(), ENOTDIR);
    const WalkStart walk = start(components);
    if (walk.components.empty()) return {&target.root(), "", target.path(), true, false};
    const std::vector<std::string> parents(walk.components.begin(), walk.components.end() - 1);
    if (!cached || cachedBase != walk.from || cachedParents != parents) {
      cached.reset();
      std::optional<Directory> opened = target.open(*walk.from, parents, true, redirect);
      cachedUnseen = isInStage(*opened);
      if (!cachedUnseen) {
        refuseOldTree(*opened);
        noteTemporaries(*opened);
      }
      cached = std::move(opened);
      cachedBase = walk.from;
      cachedParents = parents;
    }
    return {&*cached, walk.components.back(), childPath(cached->path(), walk.components.back()),
            false, cachedUnseen};
  }

  // Creates the directory at `place` unless it stands there already (the stage, the
  // target, or one inside), and lets its recorded mode wait for the end.
  void makeDirectory(const Place& place, const std::vector<std::string>& components, mode_t mode) {
    if (!place.standing) {
      const std::optional<Directory> made = target.open(*place.dir, {place.name}, true, redirect);
      if (!place.unseen) refuseOldTree(*made);
    }
    // The target keeps its own mode, whatever an entry says.
    if (mode != 0 && !components.empty()) modes.push_back({components, mode});
  }

  // Directory modes, deepest first so that none locks out one below it, then the stage
  // swapped in; `verify` checks what the user will see before the previous installation
  // goes. What the swap left under the record's names is the housekeeping's.
  void finish(const std::function<void()>& verify, const std::function<void()>& tick) {
    applyModes(true);
    if (!staged) {
      verify();
      return;
    }
    staged->commit(verify, tick);
    // A first installation leaves nothing behind: the record goes at once.
    if (staged->leftBehind()) housekeeping.add(record->handOver());
  }

  // What a failed extraction still owes the directories that landed outside the stage;
  // then the stage, and the directories made only to hold it, are the housekeeping's.
  void abandon() {
    applyModes(false);
    if (record) housekeeping.add(record->handOver());
    staged.reset();
    record.reset();
  }

  std::string temporaryPrefix() const { return record->temporaryPrefix(); }
  bool foldsCase() const { return record->foldsCase(); }
  // What could not be removed, here or by the runs before.
  const std::vector<std::string>& left() const { return leftovers; }

 private:
  // What lies below the first entry's place, for an entry at or below it. On a file
  // system that folds case, "App" and "app" are one place.
  std::optional<std::vector<std::string>> belowStage(const std::vector<std::string>& components) const {
    if (!staged || components.size() < place.size()) return std::nullopt;
    for (size_t i = 0; i < place.size(); ++i) {
      if (components[i] == place[i]) continue;
      if (!record->foldsCase() || foldCase(components[i]) != foldCase(place[i])) return std::nullopt;
    }
    return std::vector<std::string>(components.begin() + place.size(), components.end());
  }

  // Where a walk to `components` (below the target) starts: in the stage for what lies in
  // the first entry's place, however it was reached, else at the target.
  WalkStart start(const std::vector<std::string>& components) const {
    const std::optional<std::vector<std::string>> below = belowStage(components);
    if (below && staged->isDirectory()) return {&staged->stageDirectory(), *below};
    if (below) throw pathError(staged->finalPath(), ENOTDIR);
    return {&target.root(), components};
  }

  bool isInStage(const Directory& dir) const {
    if (!staged || !staged->isDirectory()) return false;
    const std::string& stagePath = staged->stageDirectory().path();
    return dir.path() == stagePath || dir.path().compare(0, stagePath.size() + 1,
                                                         childPath(stagePath, "")) == 0;
  }

  // A killed run's temporary files outside the stage are found again through its record.
  void noteTemporaries(const Directory& dir) {
    if (!noted.insert(dir.path()).second) return;
    record->noteTemporaries(componentsBelow(target, dir));
  }

  // Nothing outside the stage may land in the previous installation, which stays as it
  // was until the new one is complete: a spelling of the place that the file system takes
  // for its own (case folded beyond what foldCase knows) is refused, not written through.
  void refuseOldTree(const Directory& dir) const {
    if (!oldTree) return;
    int fd = fcntl(dir.fd(), F_DUPFD_CLOEXEC, 0);
    // Up to the target, which is not inside the place: as many steps as `dir` lies below it.
    for (size_t up = componentsBelow(target, dir).size(); fd >= 0; --up) {
      struct stat st;
      const bool inside = fstat(fd, &st) == 0 && FileId{st.st_dev, st.st_ino} == *oldTree;
      if (inside || up == 0) {
        close(fd);
        if (inside)
          throw std::runtime_error(dir.path() + ": lies in the previous installation " +
                                   staged->finalPath() + " under another spelling of its name");
        return;
      }
      const int above = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
      close(fd);
      fd = above;
    }
  }

  struct PendingMode {
    std::vector<std::string> components;
    mode_t mode;
  };

  struct FileId {
    dev_t device;
    ino_t inode;
    bool operator==(const FileId& other) const {
      return device == other.device && inode == other.inode;
    }
  };

  void applyModes(bool includingStaged) {
    std::stable_sort(modes.begin(), modes.end(), [](const PendingMode& a, const PendingMode& b) {
      return a.components.size() > b.components.size();
    });
    for (const PendingMode& pending : modes) {
      if (belowStage(pending.components) && !includingStaged) continue;
      try {
        const WalkStart walk = start(pending.components);
        if (std::optional<Directory> dir = target.open(*walk.from, walk.components, false, redirect))
          dir->setMode(pending.mode);
      } catch (const std::runtime_error&) {
        // Gone or out of reach since: the entry itself landed, only its mode is missing.
      }
    }
  }

  const TargetDirectory& target;
  const std::vector<std::string> place;
  Housekeeping& housekeeping;
  Directory holder;
  std::vector<std::string> leftovers;
  std::optional<RunRecord> record;
  std::optional<FileId> oldTree;  // the previous installation, a directory
  std::optional<StagedPlace> staged;
  Redirect redirect;
  std::optional<Directory> cached;
  const Directory* cachedBase = nullptr;
  std::vector<std::string> cachedParents;
  bool cachedUnseen = false;
  std::set<std::string> noted;
  std::vector<PendingMode> modes;
};

// Checks every entry where the user will find it, through the target: a directory, or a
// regular file of the recorded size. The later of two entries of one name is the one that
// counts. What cannot be looked at (a directory whose mode forbids it) is taken on trust.
void verifyEntries(const TargetDirectory& target, const ZipEntries& records,
                   bool foldsCase) {
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

void Extractor::notify(const std::string& path) {
  for (const auto& listener : listeners) listener->onEntry(path);
}

void Extractor::progress(uint64_t done, uint64_t total) {
  for (const auto& listener : listeners) listener->onProgress(done, total);
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
  const mode_t mask = currentUmask();
  Tree tree(target, records.front(), housekeeping, tick);
  try {
    AsideFiles aside(zipArchive);
    struct Shown {
      uint64_t index, size;
    };
    std::optional<Shown> shown;  // the entry last announced
    bool shownAside = false;
    // Waits while `blocked` says so, landing long entries as they end; the window hears
    // how the entry it shows comes on, or a pulse when that one is complete.
    const auto waitWhile = [&](const auto& blocked) {
      while (blocked()) {
        stopIfInterrupted();
        aside.land(listener_pace::CALL_INTERVAL);
        const std::optional<uint64_t> written = shown ? aside.written(shown->index) : std::nullopt;
        if (written)
          progress(*written, shown->size);
        else
          tick();
      }
    };
    for (const ZipEntryInfo& record : records) {
      stopIfInterrupted();
      aside.land(std::chrono::milliseconds(0));
      const std::string& name = record.name;
      const std::vector<std::string> components = nameComponents(name);
      const bool directory = isDirectoryName(name);
      // Read from the file again: a file rewritten since the check must not name a place
      // outside the target either.
      if (climbsUp(name) || (components.empty() && !directory)) checkName(name);
      const bool isLong = !directory && ZipArchive::isLong(record);
      // The last entry's end is the end the window shows: unless it goes aside too, the
      // long ones land first.
      const bool lastHere = record.index + 1 == records.size() && !isLong;
      waitWhile([&] {
        return aside.holds(components, tree.foldsCase()) ||
               (isLong && aside.size() >= AsideFiles::MOST) || (lastHere && aside.size() > 0);
      });
      const Place place = naming(name, [&] { return tree.placeOf(components, directory); });
      notify(place.shown);
      shown = Shown{record.index, record.uncompressedSize};
      shownAside = false;
      // Upper 16 bits: the Unix st_mode. Zero means the archiver recorded none (Windows).
      // File-type bits have no place in chmod; setuid, setgid and sticky are kept.
      const mode_t recorded = (record.externalAttributes >> 16) & 07777;
      if (directory) {
        naming(name, [&] { tree.makeDirectory(place, components, recorded); });
        progress(0, 0);
        continue;
      }
      naming(name, [&] {
        // A file written aside lands after later entries have taken the walk elsewhere
        // (its directory closed): it keeps a descriptor of its own.
        std::optional<Directory> own;
        if (isLong) own = place.dir->duplicate();
        // A file without a recorded mode keeps the one creating it gives.
        auto file = std::make_unique<EntryFile>(own ? own->fd() : place.dir->fd(), place.name,
                                                place.shown,
                                                recorded != 0 ? recorded : 0666 & ~mask, mask,
                                                place.unseen, tree.temporaryPrefix());
        if (isLong && aside.start(record, *own, file)) {
          shownAside = true;
          return;
        }
        uint64_t done = 0;
        zipArchive.extractEntry(record, [&](const char* data, size_t size) {
          stopIfInterrupted();
          file->write(data, size);
          done += size;
          progress(done, record.uncompressedSize);
        });
        file->land();
      });
      if (shownAside) continue;
      progress(record.uncompressedSize, record.uncompressedSize);
    }
    waitWhile([&] { return aside.size() > 0; });
    if (shownAside) progress(shown->size, shown->size);
    naming(records.front().name, [&] {
      tree.finish([&] { verifyEntries(target, records, tree.foldsCase()); }, tick);
    });
  } catch (...) {
    tree.abandon();
    left = tree.left();
    if (!deferred) {
      const std::vector<std::string> more = housekeeping.runNow();
      left.insert(left.end(), more.begin(), more.end());
    }
    throw;
  }
  left = tree.left();
  if (!deferred) {
    const std::vector<std::string> more = housekeeping.runNow(tick);
    left.insert(left.end(), more.begin(), more.end());
  }
}

Housekeeping Extractor::takeHousekeeping() {
  Housekeeping taken = std::move(housekeeping);
  housekeeping = Housekeeping();
  return taken;
}
