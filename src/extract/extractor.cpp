#include "extractor.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "entry_file.h"
#include "entry_name.h"
#include "interruption.h"
#include "path_error.h"
#include "staged_place.h"
#include "target_directory.h"

namespace {

// Runs `step`, putting `name` in front of the message of any std::runtime_error it throws.
template <typename Step>
auto naming(const std::string& name, Step step) {
  try {
    return step();
  } catch (const Interrupted&) {
    throw;
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(name + ": " + e.what());
  }
}

// Refuses, before anything on disk is touched, names that could land outside the target
// or replace the target itself with a file.
void checkNames(const std::vector<ZipEntryInfo>& records) {
  for (const ZipEntryInfo& record : records) {
    if (climbsUp(record.name))
      throw std::runtime_error(record.name + ": refused: \"..\" in an entry name");
    if (!isDirectoryName(record.name) && nameComponents(record.name).empty())
      throw std::runtime_error(record.name + ": refused: a file entry names the target itself");
  }
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

// The places of one extraction's entries: in the stage for those at or below the first
// entry's place, else in the target, and the directory modes that wait for the end.
class Tree {
 public:
  Tree(const TargetDirectory& target, const ZipEntryInfo& first) : target(target) {
    std::vector<std::string> components = nameComponents(first.name);
    if (!components.empty()) staged.emplace(target, components, isDirectoryName(first.name));
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
    const Directory& base = baseOf(below);
    const std::vector<std::string>& rest = below ? *below : components;
    if (rest.empty()) return {&target.root(), "", target.path(), true, false};  // the target itself
    const std::vector<std::string> parents(rest.begin(), rest.end() - 1);
    if (!cached || cachedBase != &base || cachedParents != parents) {
      cached = target.open(base, parents, true);
      cachedBase = &base;
      cachedParents = parents;
    }
    return {&*cached, rest.back(), childPath(cached->path(), rest.back()), false, bool(below)};
  }

  // Creates the directory at `place` unless it stands there already (the stage, the
  // target, or one inside), and lets its recorded mode wait for the end.
  void makeDirectory(const Place& place, const std::vector<std::string>& components, mode_t mode) {
    if (!place.standing) target.open(*place.dir, {place.name}, true);
    // The target keeps its own mode, whatever an entry says.
    if (mode != 0 && !components.empty()) modes.push_back({components, mode});
  }

  // Directory modes, deepest first so that none locks out one below it, then the stage
  // swapped in.
  void finish() {
    applyModes(true);
    if (staged) staged->commit();
  }

  // What a failed extraction still owes the directories that landed outside the stage.
  void abandon() { applyModes(false); }

 private:
  // What lies below the first entry's place, for an entry at or below it.
  std::optional<std::vector<std::string>> belowStage(const std::vector<std::string>& components) const {
    if (!staged) return std::nullopt;
    return staged->below(components);
  }
  // Where the components `belowStage` leaves start from: the stage or the target.
  const Directory& baseOf(const std::optional<std::vector<std::string>>& below) const {
    return below ? staged->stageDirectory() : target.root();
  }

  struct PendingMode {
    std::vector<std::string> components;
    mode_t mode;
  };

  void applyModes(bool includingStaged) {
    std::stable_sort(modes.begin(), modes.end(), [](const PendingMode& a, const PendingMode& b) {
      return a.components.size() > b.components.size();
    });
    for (const PendingMode& pending : modes) {
      const std::optional<std::vector<std::string>> below = belowStage(pending.components);
      if (below && !includingStaged) continue;
      try {
        if (std::optional<Directory> dir =
                target.open(baseOf(below), below ? *below : pending.components, false))
          dir->setMode(pending.mode);
      } catch (const std::runtime_error&) {
        // Gone or out of reach since: the entry itself landed, only its mode is missing.
      }
    }
  }

  const TargetDirectory& target;
  std::optional<StagedPlace> staged;
  std::optional<Directory> cached;
  const Directory* cachedBase = nullptr;
  std::vector<std::string> cachedParents;
  std::vector<PendingMode> modes;
};

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

const std::vector<ZipEntryInfo>& Extractor::listEntries() {
  const std::vector<ZipEntryInfo>* records = nullptr;
  naming(archiveFile, [&] { records = &zipArchive.entries(); });
  return *records;
}

Extractor::~Extractor() = default;

void Extractor::extractHere() {
  if (listEntries().empty()) return;
  extractInto(std::make_unique<TargetDirectory>(TargetDirectory::here()));
}

void Extractor::extractAll(const std::string& targetDirectory) {
  if (listEntries().empty()) return;
  extractInto(std::make_unique<TargetDirectory>(targetDirectory));
}

void Extractor::extractInto(std::unique_ptr<TargetDirectory> locked) {
  const std::vector<ZipEntryInfo>& records = listEntries();
  checkNames(records);
  // The lock is held from here until the next extraction or the Extractor's end: an
  // autorun command runs on a tree no other installer replaces meanwhile.
  lockedTarget.reset();
  lockedTarget = std::move(locked);
  TargetDirectory& target = *lockedTarget;
  target.lock([this] {
    stopIfInterrupted();
    progress(0, 0);
  });
  const mode_t mask = currentUmask();
  Tree tree(target, records.front());
  try {
    for (const ZipEntryInfo& record : records) {
      stopIfInterrupted();
      const std::string& name = record.name;
      const std::vector<std::string> components = nameComponents(name);
      const bool directory = isDirectoryName(name);
      const Place place = naming(name, [&] { return tree.placeOf(components, directory); });
      notify(place.shown);
      // Upper 16 bits: the Unix st_mode. Zero means the archiver recorded none (Windows).
      // File-type bits have no place in chmod; setuid, setgid and sticky are kept.
      const mode_t recorded = (record.externalAttributes >> 16) & 07777;
      if (directory) {
        naming(name, [&] { tree.makeDirectory(place, components, recorded); });
        progress(0, 0);
        continue;
      }
      naming(name, [&] {
        // A file without a recorded mode keeps the one creating it gives.
        EntryFile file(place.dir->fd(), place.name, place.shown,
                       recorded != 0 ? recorded : 0666 & ~mask, mask, place.unseen);
        uint64_t done = 0;
        zipArchive.extractEntry(record, [&](const char* data, size_t size) {
          stopIfInterrupted();
          file.write(data, size);
          done += size;
          progress(done, record.uncompressedSize);
        });
        file.land();
      });
      progress(record.uncompressedSize, record.uncompressedSize);
    }
    naming(records.front().name, [&] { tree.finish(); });
  } catch (...) {
    tree.abandon();
    throw;
  }
}
