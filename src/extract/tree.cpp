#include "tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "entry_name.h"
#include "held_record.h"
#include "path_error.h"

namespace {

// The path of `dir` below the target's, as components.
std::vector<std::string> componentsBelow(const TargetDirectory& target, const Directory& dir) {
  return nameComponents(dir.path().substr(std::min(dir.path().size(), target.path().size())));
}

}  // namespace

Tree::Tree(const TargetDirectory& target, const std::string& firstName, Housekeeping& housekeeping,
           const std::function<void()>& tick)
    : target(target), place(nameComponents(firstName)), housekeeping(housekeeping) {
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
  if (fstatat(holder.fd(), place.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(st.st_mode))
    oldTree = FileId{st.st_dev, st.st_ino};
  staged.emplace(holder, place.back(), isDirectoryName(firstName), *record);
  redirect = [this](const std::vector<std::string>& components) { return start(components); };
}

Place Tree::placeOf(const std::vector<std::string>& components, bool directory) {
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

void Tree::makeDirectory(const Place& place, const std::vector<std::string>& components,
                         mode_t mode) {
  if (!place.standing) {
    const std::optional<Directory> made = target.open(*place.dir, {place.name}, true, redirect);
    if (!place.unseen) refuseOldTree(*made);
  }
  // The target keeps its own mode, whatever an entry says.
  if (mode != 0 && !components.empty()) modes.push_back({components, mode});
}

void Tree::finish(const std::function<void()>& verify, const std::function<void()>& tick) {
  applyModes(true);
  if (!staged) {
    verify();
    return;
  }
  staged->commit(verify, tick);
  // A first installation leaves nothing behind: the record goes at once.
  if (staged->leftBehind()) housekeeping.add(record->handOver());
}

void Tree::abandon() {
  applyModes(false);
  if (record) housekeeping.add(record->handOver());
  staged.reset();
  record.reset();
}

// What lies below the first entry's place, for an entry at or below it. On a file
// system that folds case, "App" and "app" are one place.
std::optional<std::vector<std::string>> Tree::belowStage(
    const std::vector<std::string>& components) const {
  if (!staged || components.size() < place.size()) return std::nullopt;
  for (size_t i = 0; i < place.size(); ++i) {
    if (components[i] == place[i]) continue;
    if (!record->foldsCase() || foldCase(components[i]) != foldCase(place[i])) return std::nullopt;
  }
  return std::vector<std::string>(components.begin() + place.size(), components.end());
}

// Where a walk to `components` (below the target) starts: in the stage for what lies in
// the first entry's place, however it was reached, else at the target.
WalkStart Tree::start(const std::vector<std::string>& components) const {
  const std::optional<std::vector<std::string>> below = belowStage(components);
  if (below && staged->isDirectory()) return {&staged->stageDirectory(), *below};
  if (below) throw pathError(staged->finalPath(), ENOTDIR);
  return {&target.root(), components};
}

bool Tree::isInStage(const Directory& dir) const {
  if (!staged || !staged->isDirectory()) return false;
  const std::string& stagePath = staged->stageDirectory().path();
  return dir.path() == stagePath || dir.path().compare(0, stagePath.size() + 1,
                                                       childPath(stagePath, "")) == 0;
}

// A killed run's temporary files outside the stage are found again through its record.
void Tree::noteTemporaries(const Directory& dir) {
  if (!noted.insert(dir.path()).second) return;
  record->noteTemporaries(componentsBelow(target, dir));
}

// Nothing outside the stage may land in the previous installation, which stays as it
// was until the new one is complete: a spelling of the place that the file system takes
// for its own (case folded beyond what foldCase knows) is refused, not written through.
void Tree::refuseOldTree(const Directory& dir) const {
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

void Tree::applyModes(bool includingStaged) {
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
