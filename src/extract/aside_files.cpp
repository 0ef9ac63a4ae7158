#include "aside_files.h"

#include <exception>

#include "entry_name.h"
#include "path_error.h"

bool AsideFiles::start(const ZipEntryInfo& record, Directory& dir, std::unique_ptr<EntryFile>& file) {
  Pending& entry = pending[record.index];
  EntryFile* to = file.get();
  entry.write = [to](const char* data, size_t size) { to->write(data, size); };
  entry.whole.map = [to](uint64_t size) { return to->map(size); };
  entry.whole.unmap = [to](char* at, uint64_t size, bool whole) { to->unmap(at, size, whole); };
  if (!archive.extractAside(record, entry.write, &entry.whole)) {
    pending.erase(record.index);
    return false;
  }
  entry.name = record.name;
  entry.components = nameComponents(record.name);
  entry.dir = std::move(dir);
  entry.file = std::move(file);
  return true;
}

void AsideFiles::land(std::chrono::milliseconds timeout) {
  if (pending.empty()) return;
  for (const ZipArchive::AsideEnd& end : archive.extractedAside(timeout)) {
    Pending& entry = pending.at(end.index);
    naming(entry.name, [&] {
      if (end.failure) std::rethrow_exception(end.failure);
      entry.file->land();
    });
    pending.erase(end.index);
  }
}

bool AsideFiles::holds(const std::vector<std::string>& components, bool foldsCase) const {
  for (const auto& [index, entry] : pending) {
    const std::vector<std::string>& at = entry.components;
    if (at.size() > components.size()) continue;
    bool same = true;
    for (size_t i = 0; i < at.size() && same; ++i)
      same = at[i] == components[i] || (foldsCase && foldCase(at[i]) == foldCase(components[i]));
    if (same) return true;
  }
  return false;
}

std::optional<uint64_t> AsideFiles::written(uint64_t index) {
  if (pending.count(index) == 0) return std::nullopt;
  return archive.writtenAside(index);
}
