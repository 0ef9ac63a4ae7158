#include "extractor.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "entry_name.h"
#include "target_directory.h"

namespace {

std::string errorText(int error) { return std::generic_category().message(error); }

// Runs `step`, putting `name` in front of the message of any std::runtime_error it throws.
template <typename Step>
auto naming(const std::string& name, Step step) {
  try {
    return step();
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

// Deletes a directory standing where the first entry belongs, so that a new extraction
// does not mix with an old one. Never the target or anything above it: the place is the
// entry's canonical parent inside the target plus its last component, and remove_all
// removes a symbolic link there, not what it points to.
void removeTopLevel(const TargetDirectory& target, const std::string& name) {
  std::optional<std::string> place =
      naming(name, [&] { return target.existingPlace(nameComponents(name)); });
  if (!place) return;
  boost::system::error_code ignored;
  if (boost::filesystem::is_directory(boost::filesystem::status(*place, ignored)))
    boost::filesystem::remove_all(*place);
}

void makeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return;
  int error = errno;
  struct stat st;
  if (error == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  throw std::runtime_error(path + ": " + errorText(error));
}

// A mode that cannot be set (a file system without Unix modes, say) leaves the entry as
// it was created: the entry itself has landed, so this is no reason to fail.
void setMode(const std::string& path, unsigned mode) { (void)chmod(path.c_str(), mode); }

// Directory modes wait until every entry is written, so a read-only directory still takes
// its content; the deepest go first, so no parent has locked them out.
void applyDirectoryModes(std::vector<std::pair<std::string, unsigned>>& modes) {
  auto depth = [](const std::string& path) { return std::count(path.begin(), path.end(), '/'); };
  std::stable_sort(modes.begin(), modes.end(),
                   [&](const auto& a, const auto& b) { return depth(a.first) > depth(b.first); });
  for (const auto& [path, mode] : modes) setMode(path, mode);
}

}  // namespace

Extractor::Extractor(const std::string& archivePath) : archiveFile(archivePath) {
  // A file without an archive leaves the archive empty; only damaged data throws.
  naming(archivePath, [&] { return zipArchive.loadFile(archivePath); });
}

void Extractor::addListener(const std::shared_ptr<ExtractionListener>& listener) {
  listeners.push_back(listener);
}

std::vector<ZipEntryInfo> Extractor::listEntries() {
  return naming(archiveFile, [&] { return zipArchive.entries(); });
}

void Extractor::extractHere() {
  char buffer[PATH_MAX + 1];
  if (getcwd(buffer, PATH_MAX) == nullptr)
    throw std::runtime_error("current directory unknown: " + errorText(errno));
  extractAll(buffer);
}

void Extractor::extractAll(const std::string& targetDirectory) {
  std::vector<ZipEntryInfo> records = listEntries();
  if (records.empty()) return;
  checkNames(records);
  TargetDirectory target(targetDirectory);
  removeTopLevel(target, records.front().name);

  DirectoryModes directoryModes;
  try {
    for (const ZipEntryInfo& record : records) {
      const std::string& name = record.name;
      std::string path = naming(name, [&] { return target.prepare(nameComponents(name)); });
      extractOne(path, name, target.baseDirectory());
      // Upper 16 bits: the Unix st_mode. Zero means the archiver recorded none (Windows),
      // and the target itself keeps its mode whatever an entry says.
      // File-type bits have no place in chmod; setuid, setgid and sticky are kept.
      unsigned recorded = record.externalAttributes >> 16;
      if (recorded == 0 || path == target.path()) continue;
      if (isDirectoryName(name))
        directoryModes.emplace_back(path, recorded & 07777);
      else
        setMode(path, recorded & 07777);
    }
  } catch (...) {
    applyDirectoryModes(directoryModes);
    throw;
  }
  applyDirectoryModes(directoryModes);
}

void Extractor::extractOne(const std::string& path, const std::string& name,
                           const std::string& baseDirectory) {
  for (const auto& listener : listeners) listener->onEntry(path);
  if (isDirectoryName(name))
    naming(name, [&] { makeDirectory(path); });
  else
    naming(name, [&] { zipArchive.extractEntry(name, baseDirectory); });
}
