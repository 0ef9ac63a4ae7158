// Extracts every entry of the installer's archive under a target directory, safely:
// nothing is written outside the target, the target itself is never removed, and every
// entry either lands or the extraction fails with an error naming it.
#ifndef SFX_EXTRACT_EXTRACTOR_H_
#define SFX_EXTRACT_EXTRACTOR_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "extraction_listener.h"
#include "zip_archive.h"

class Extractor {
 public:
  // Loads the archive that ends the file at `archivePath`. A file that cannot be opened
  // or carries no archive leaves the archive empty; damaged archive data throws.
  explicit Extractor(const std::string& archivePath);

  void addListener(const std::shared_ptr<ExtractionListener>& listener);

  // Extracts every entry under `targetDirectory`. Throws std::runtime_error naming the
  // entry or path on any failure; what was written before stays on disk. Names with ".."
  // are refused before anything is touched; an entry whose place leads outside through a
  // symbolic link is refused before its listeners are told. A listener's own exception
  // passes unchanged.
  void extractAll(const std::string& targetDirectory);
  // extractAll on the current working directory.
  void extractHere();

  ZipArchive& archive() { return zipArchive; }

 private:
  using DirectoryModes = std::vector<std::pair<std::string, unsigned>>;

  std::vector<ZipEntryInfo> listEntries();
  // Tells every listener about the entry at `path`, then creates or writes it.
  void extractOne(const std::string& path, const std::string& name,
                  const std::string& baseDirectory);

  ZipArchive zipArchive;
  std::vector<std::shared_ptr<ExtractionListener>> listeners;
  std::string archiveFile;  // for error messages
};

#endif  // SFX_EXTRACT_EXTRACTOR_H_
